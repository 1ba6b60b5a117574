#include "strtoint.h"
