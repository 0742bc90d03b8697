// Placeholder: filled in next.
#include "capture/CaptureController.hpp"
