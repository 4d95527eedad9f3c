#include "fleet.h"
