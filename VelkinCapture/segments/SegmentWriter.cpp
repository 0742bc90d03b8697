// Placeholder until the segment writer lands.
#include "segments/SegmentWriter.hpp"

namespace velkin {
SegmentWriter::SegmentWriter(std::string label, std::filesystem::path directory,
                             MediaWriterService& media, std::shared_ptr<FinishTracker> finishes, double seconds)
    : label_(std::move(label)),
      directory_(std::move(directory)),
      seconds_(seconds),
      media_(media),
      finishes_(std::move(finishes)) {}
void SegmentWriter::append(const SampleBuffer&) {}
void SegmentWriter::stop() {}
}  // namespace velkin
