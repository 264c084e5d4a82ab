#include "console/prompt.h"

#include "console/console.h"

#include <cstdio>

namespace qv5 {

namespace {

FILE* answers = stdin;
bool noAnswers = false;

} // namespace

void readAnswersFrom(FILE* source)
{
    answers = source;
    noAnswers = source == nullptr;
}

int readAnswer()
{
    std::fflush(consoleStream());
    if (noAnswers) return EOF;
    int answer = std::getc(answers);
    if (answer != '\n' && answer != EOF) {
        int c;
        do {
            c = std::getc(answers);
        } while (c != '\n' && c != EOF);
    }
    if (answer >= 'A' && answer <= 'Z') answer += 'a' - 'A';
    return answer;
}

} // namespace qv5
