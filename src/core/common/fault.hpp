#pragma once
/// Internal faults: broken invariants that no caller can act on (a poisoned lock, an
/// impossible table miss). They travel as this one exception type and are turned into the
/// module's internal-fault exception at the Python boundary; expected failures are values.
#include <stdexcept>
#include <string>

namespace vantrel {

class InternalFault : public std::runtime_error {
 public:
  explicit InternalFault(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace vantrel
