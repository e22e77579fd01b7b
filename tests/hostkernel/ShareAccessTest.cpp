#include "StandInTestSupport.h"
