#include "certalias.h"
