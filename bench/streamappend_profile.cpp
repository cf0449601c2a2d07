// One transcript of N drawn turns and whole replies streamed into it, for a profiler:
//   valgrind --tool=callgrind --toggle-collect='appendStreamedFragment*'
//            build-bench/bench/streamappend_profile 5000 1 5
// counts only the appends. Run it at 10 and at 5,000 turns and compare the two profiles to
// see what grows with the transcript.

#include "streamingpane.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s TURNS TABLES(0|1) REPLIES\n", argv[0]);
        return 2;
    }
    const int turns = QByteArray(argv[1]).toInt();
    const bool tables = QByteArray(argv[2]).toInt() != 0;
    const int replies = QByteArray(argv[3]).toInt();
    StreamingPane pane(turns, tables);
    double total = 0;
    for (int i = 0; i < replies * fragmentsPerReply; ++i)
        total += pane.append();
    if (replies > 0)
        std::printf("%d turns: %.1f us per fragment on average\n", turns,
                    total / (replies * fragmentsPerReply));
    return 0;
}
