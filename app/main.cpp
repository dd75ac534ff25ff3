#include <cstdio>

#include "app/capture_run.h"
#include "app/command_line.h"
#include "app/console.h"
#include "port/port_list.h"

int main(int argc, char* argv[]) {
    // Shown at once on a terminal; held in a 4096-byte buffer when redirected.
    static char outputBuffer[4096];
    if (serialtap::standardOutputIsTerminal()) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    }

    serialtap::CommandLine commandLine = serialtap::parseCommandLine(argc, argv);
    if (commandLine.status == serialtap::ParseStatus::List) {
        std::fputs(serialtap::portListText(serialtap::findPorts()).c_str(), stdout);
        return 0;
    }
    if (commandLine.status != serialtap::ParseStatus::Capture) {
        return serialtap::reportParseOutcome(commandLine, stdout, stdin);
    }
    return serialtap::runCapture(commandLine.captureFileName, commandLine.settings,
                                 commandLine.options);
}
