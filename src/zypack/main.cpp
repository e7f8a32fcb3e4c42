// The zypack program: the application object the pack reports to, then one
// command line.
#include "framework/application.h"
#include "zypack/zypack_command.h"

#include <iostream>

int main(int argc, char** argv)
{
    TApplication app;
    app.Title = "zypack";
    Application = &app;
    const int status = RunZypack(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    Application = nullptr;
    return status;
}
