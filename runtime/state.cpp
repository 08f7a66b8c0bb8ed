#include "state.h"

namespace rt {

namespace {
RuntimeState& instance()
{
    static RuntimeState s;
    return s;
}
} // namespace

RuntimeState& state()
{
    return instance();
}

void resetState()
{
    instance() = RuntimeState{};
}

} // namespace rt
