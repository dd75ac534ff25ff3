#include <cstdio>

#include "app/capture_run.h"
#include "app/command_line.h"
#include "app/console.h"

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
    if (commandLine.status != serialtap::ParseStatus::Capture) {
        return serialtap::reportParseOutcome(commandLine, stdout, stdin);
    }
    int status = serialtap::runCapture(commandLine.captureFileName, commandLine.settings,
                                       commandLine.options);
    serialtap::endAsStopSignalAsks();
    return status;
}
