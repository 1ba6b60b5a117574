// What the window works on, from the program's command line and environment.

#include "dialog/main.h"
#include "model/serviceconfig.h"
#include "platform/textconv.h"

TDialogOptions TDialogOptions::FromProgram(const QStringList& arguments) {
    TDialogOptions options;
    if (arguments.size() > 1)
        options.RemoteName = ToStdString(arguments.at(1));
    options.ServiceConfigPath = DefaultServiceConfigPath();
    return options;
}
