#include "DriverFixture.h"
