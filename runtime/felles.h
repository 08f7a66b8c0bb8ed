// Includes the runtime's file helpers, desktop opener and password
// scrambling headers together.
#pragma once

#include "desktopopener.h"
#include "filehelpers.h"
#include "passwordscramble.h"
