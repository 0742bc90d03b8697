#include "platform/Dispatch.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velkin {

namespace {

// Linux has no per-queue quality of service; a thread's nice value is the closest
// thing an unprivileged process can set. Background work is made politer; the
// audio queues keep the process's own priority.
void applyQualityOfService(QualityOfService qos) {
  if (qos == QualityOfService::utility) {
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    (void)::setpriority(PRIO_PROCESS, tid, 5);
  }
}

}  // namespace

SerialQueue::SerialQueue(std::string label, QualityOfService qos)
    : label_(std::move(label)), qos_(qos), context_(1), work_(context_.get_executor()) {
  thread_ = std::thread([this] {
    const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    (void)::pthread_setname_np(::pthread_self(), name.c_str());
    applyQualityOfService(qos_);
    context_.run();
  });
  // Nothing can be posted before the constructor returns, and posting orders
  // this write before any job's read of it.
  threadId_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
  work_.reset();
  if (thread_.joinable()) {
    thread_.join();
  }
}

Runtime::Runtime(std::size_t workerThreads)
    : main_(1), mainWork_(main_.get_executor()), workers_(workerThreads) {}

Runtime::~Runtime() {
  workers_.join();
}

void Runtime::runMain() {
  mainThread_.store(std::this_thread::get_id());
  main_.run();
}

void Runtime::stopMain() {
  mainWork_.reset();
  main_.stop();
}

}  // namespace velkin
