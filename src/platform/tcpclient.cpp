#include "tcpclient.h"
