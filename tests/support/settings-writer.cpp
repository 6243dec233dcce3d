// Writes through the agent's settings store as fast as it can, for a test that kills it in the
// middle of a write. Each write sets two keys to the same new number; each line on stdout names a
// write that has returned.
#include "platform/files/IniSettingsStore.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    IniSettingsStore store(QString::fromLocal8Bit(argv[1]));
    for (qint64 n = store.integer("lastPercent").value_or(0) + 1;; ++n) {
        if (!store.write({{"lastPercent", n}, {"threshold", n}}).ok())
            return 1;
        std::printf("%lld\n", n);
        std::fflush(stdout);
    }
}
