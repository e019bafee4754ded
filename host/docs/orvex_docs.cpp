// orvex_docs MAN-PAGE COMPLETION: writes orvex.1 and the bash completion from
// the same command line that orvex parses. Run by the build.
#include <cstdio>
#include <fstream>

#include "host/Docs.h"
#include "host/RootCommandLine.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: orvex_docs MAN-PAGE COMPLETION\n");
        return 2;
    }
    HOST::RootCommandLine line;
    std::ofstream man(argv[1], std::ios::binary | std::ios::trunc);
    HOST::WriteManPage(line.app, ORVEX_VERSION, man);
    std::ofstream completion(argv[2], std::ios::binary | std::ios::trunc);
    HOST::WriteBashCompletion(line.app, completion);
    man.close();
    completion.close();
    if (!man || !completion) {
        std::fprintf(stderr, "orvex_docs: cannot write %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    return 0;
}
