#include "serviceconfig.h"
