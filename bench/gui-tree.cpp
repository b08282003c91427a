// Expanding a folder of 100,000 files in the results tree and checking it, each timed with the view attached
// (offscreen platform). Prints the times; the target is under a second each.
#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>
#include <cstdio>

#include "../tests/qt/synthetic_parser.h"
#include "scan/list_rows.h"
#include "ui/controls/result_tree_model.h"

using namespace salvora;
using namespace salvora::gui;

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const std::uint64_t files = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    test::SyntheticParser parser(files);
    // The core's own share: the same fill into a tree that no model watches.
    double coreMs = 0;
    {
        ResultTree bare;
        parser.FillTop(bare);
        PlaceFirstLevelPlaceholders(bare, parser);
        QElapsedTimer core;
        core.start();
        FillFolderChildren(bare, parser, bare.Children(bare.Root()).front());
        coreMs = core.nsecsElapsed() / 1e6;
    }
    ResultTree tree;
    ResultTreeModel model(tree);
    model.SetFolderFiller([&](ItemId item) { FillFolderChildren(tree, parser, item); });
    parser.FillTop(tree);
    PlaceFirstLevelPlaceholders(tree, parser);
    QTreeView view;
    view.setUniformRowHeights(true);
    view.setModel(&model);
    view.resize(800, 600);
    view.show();
    const QModelIndex root = model.index(0, 0);
    view.expand(root);
    app.processEvents();
    const QModelIndex big = model.index(0, 0, root);

    QElapsedTimer timer;
    timer.start();
    view.expand(big);
    app.processEvents();
    const double expandMs = timer.nsecsElapsed() / 1e6;

    timer.restart();
    model.setData(big, Qt::Checked, Qt::CheckStateRole);
    app.processEvents();
    const double checkMs = timer.nsecsElapsed() / 1e6;

    timer.restart();
    model.setData(big, Qt::Unchecked, Qt::CheckStateRole);
    app.processEvents();
    const double uncheckMs = timer.nsecsElapsed() / 1e6;

    std::printf("core_fill_ms %.1f (ResultTree inserts alone)\n", coreMs);
    std::printf("files %llu rows %d\nexpand_ms %.1f\ncheck_ms %.1f\nuncheck_ms %.1f\n",
                static_cast<unsigned long long>(files), model.rowCount(big), expandMs, checkMs, uncheckMs);
    const bool ok = model.rowCount(big) == static_cast<int>(files) && expandMs < 1000 && checkMs < 1000;
    std::printf("%s\n", ok ? "PASS (each under 1000 ms)" : "FAIL");
    return ok ? 0 : 1;
}
