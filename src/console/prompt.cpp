#include "console/prompt.h"

#include "console/console.h"

#include <cstdio>

namespace qv5 {

int readAnswer()
{
    std::fflush(consoleStream());
    int answer = std::getchar();
    if (answer != '\n' && answer != EOF) {
        int c;
        do {
            c = std::getchar();
        } while (c != '\n' && c != EOF);
    }
    if (answer >= 'A' && answer <= 'Z') answer += 'a' - 'A';
    return answer;
}

} // namespace qv5
