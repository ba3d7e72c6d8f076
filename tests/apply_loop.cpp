// Test helper: applies the five settings to a Setup.ini again and again, as
// Apply does (five writes in Apply's order), for the reliability tests to
// kill at random moments or to run against another writer.
//
// Usage: apply-loop <Setup.ini> <writer> <applies>
// Round r of writer w writes the value 10 * w + r % 2 to every key;
// applies 0 means until killed. Exits 0 when every write succeeded, else 1
// after printing the first failure.
#include "settings/Module1.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <Setup.ini> <writer> <applies>\n", argv[0]);
        return 2;
    }
    const QByteArray path = argv[1];
    const int writer = std::atoi(argv[2]);
    const long applies = std::atol(argv[3]);
    for (long round = 0; applies == 0 || round < applies; ++round) {
        const QString value = QString::number(10 * writer + round % 2);
        for (const Module1::Setting &setting : Module1::Settings) {
            const QString error = Module1::writeProfileString(Module1::Section, setting.key, value, path);
            if (!error.isEmpty()) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
        }
    }
    return 0;
}
