#include "msgbox.h"
