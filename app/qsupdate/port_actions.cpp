#include "app/qsupdate/port_actions.h"

namespace {
port_actions active = {show_status, update_firmware};
}

const port_actions &current_port_actions()
{
    return active;
}

ScopedPortActions::ScopedPortActions(const port_actions &replacement) : previous_(active)
{
    active = replacement;
}

ScopedPortActions::~ScopedPortActions()
{
    active = previous_;
}
