// The log capture lives in the test toolkit; this name is kept for the tests that include it.
#pragma once

#include "../support/logCapture.h"
