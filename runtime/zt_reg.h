// Includes the runtime's settings, user, folder, machine, clean-up and
// start-up headers together.
#pragma once

#include "folders.h"
#include "machinefacts.h"
#include "settingsaccess.h"
#include "startup.h"
#include "tempcleanup.h"
#include "username.h"
