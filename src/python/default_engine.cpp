#include "default_engine.hpp"

namespace vantrel::py {

const egraph::EggEngine& default_engine() {
  static const egraph::EggEngine* const engine = new egraph::EggEngine();
  return *engine;
}

}  // namespace vantrel::py
