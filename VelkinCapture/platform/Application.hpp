#pragma once

namespace velkin {

enum class ActivationPolicy : int {
  regular = 0,    // a normal, visible application
  accessory = 1,  // a background agent with no presence of its own
};

// The running application's activation state. Called on the main thread only.
class ApplicationService {
 public:
  virtual ~ApplicationService() = default;

  // The result says whether the policy changed; callers may ignore it.
  virtual bool setActivationPolicy(ActivationPolicy policy) = 0;
  virtual void activateIgnoringOtherApps(bool ignoring) = 0;
};

}  // namespace velkin
