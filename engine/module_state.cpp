#include "engine/module_state.h"

namespace chantera {

ModuleState& Module() noexcept {
  static ModuleState state;
  return state;
}

}  // namespace chantera
