#include <cstdio>
#include <string>

#include "app/capture_run.h"
#include "app/command_line.h"
#include "app/console.h"
#include "port/port_list.h"

int main(int argc, char* argv[]) {
    serialtap::prepareProcess();
    // Shown at once on a terminal; held in a 4096-byte buffer when redirected.
    static char outputBuffer[4096];
    if (serialtap::standardOutputIsTerminal()) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    }

    serialtap::CommandLine commandLine = serialtap::parseCommandLine(argc, argv);
    if (commandLine.status == serialtap::ParseStatus::List) {
        // A list that could not be written is no success.
        std::string list = serialtap::portListText(serialtap::findPorts());
        bool written = !serialtap::standardOutputWasClosed() &&
                       std::fputs(list.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
        return written ? 0 : 1;
    }
    if (commandLine.status != serialtap::ParseStatus::Capture) {
        return serialtap::reportParseOutcome(commandLine, stdout, stdin);
    }
    int status = serialtap::runCapture(commandLine.captureFileName, commandLine.settings,
                                       commandLine.options);
    serialtap::endAsStopSignalAsks();
    return status;
}
