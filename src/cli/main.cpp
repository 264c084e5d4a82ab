#include "cli/command_line.h"
#include "cli/sfx.h"
#include "console/console.h"
#include "platform/platform.h"

#include <cstdio>
#include <exception>
#include <new>
#include <system_error>

int main(int argc, char** argv)
{
    int status;
    qv5::prepareProcess();
    // An exception that leaves a command (running out of memory on any thread, a thread that
    // cannot be started) ends it like any other failure: the clean-up of the command runs
    // on the way out, so no incomplete archive is left.
    try {
        if (qv5::isPlainArchiver()) {
            status =
                qv5::runCommandLine(qv5::commandLineArguments(argc, argv)); // prints the banner once it knows where to
        } else {
            qv5::printBanner();
            status = qv5::runSfxStub();
        }
    } catch (const std::bad_alloc&) {
        qv5::tell("Error: out of memory\n");
        status = 1;
    } catch (const std::system_error& failure) {
        // A thread that cannot be started lacks the memory for its stack.
        bool memory = failure.code() == std::errc::resource_unavailable_try_again;
        qv5::tell("Error: %s\n", memory ? "out of memory" : failure.what());
        status = 1;
    } catch (const std::exception& failure) {
        qv5::tell("Error: %s\n", failure.what());
        status = 1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
