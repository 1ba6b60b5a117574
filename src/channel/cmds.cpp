#include "cmds.h"

TCommandHandler* CommandHandler = nullptr;
