// The Qt model over the core's result tree: structure checked by QAbstractItemModelTester, lazy children
// through fetchMore, notifications from a worker thread, tri-state checks and the deleted colour. No disk
// needed.
#include "ui/controls/result_tree_model.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>
#include <thread>

#include "scan/list_rows.h"
#include "synthetic_parser.h"

using namespace salvora;
using namespace salvora::gui;
using namespace salvora::gui::test;

class ResultTreeModelTest : public QObject {
    Q_OBJECT

    static QModelIndex Child(QAbstractItemModel& model, const QModelIndex& parent, const QString& text) {
        for (int r = 0; r < model.rowCount(parent); ++r)
            if (model.index(r, 0, parent).data().toString() == text) return model.index(r, 0, parent);
        return {};
    }

  private Q_SLOTS:
    void lazyChildrenReplaceThePlaceholder() {
        ResultTree tree;
        SyntheticParser parser(10);
        ResultTreeModel model(tree);
        model.SetFolderFiller([&](ItemId item) { FillFolderChildren(tree, parser, item); });
        parser.FillTop(tree);
        PlaceFirstLevelPlaceholders(tree, parser);

        const QModelIndex root = model.index(0, 0);
        QCOMPARE(root.data().toString(), QString("ROOT"));
        const QModelIndex big = Child(model, root, "big");
        QVERIFY(big.isValid());
        QVERIFY(model.hasChildren(big));
        QCOMPARE(model.rowCount(big), 0);  // the placeholder is no row
        QVERIFY(model.canFetchMore(big));
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        model.fetchMore(big);
        QCOMPARE(model.rowCount(big), 10);
        QCOMPARE(inserted.count(), 1);  // one signal for the whole folder
        QVERIFY(!model.canFetchMore(big));
        QVERIFY(!Child(model, big, "..DUMY..").isValid());
        model.fetchMore(big);  // expanding twice inserts once
        QCOMPARE(model.rowCount(big), 10);
        // The tester walks (and fetches) everything from here on.
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);

        // A folder child with children gets its own placeholder; folders and files keep their icons apart.
        const QModelIndex small = Child(model, root, "small");
        model.fetchMore(small);
        const QModelIndex inner = Child(model, small, "inner");
        QVERIFY(model.hasChildren(inner));
        model.fetchMore(inner);
        QVERIFY(Child(model, inner, "a.txt").isValid());
        QCOMPARE(inner.data(ResultTreeModel::IsFolderRole).toBool(), true);
        QVERIFY(!inner.data(Qt::DecorationRole).value<QIcon>().isNull());
    }

    void deletedEntriesAreRedAndChecksAreTriState() {
        ResultTree tree;
        SyntheticParser parser(6);
        ResultTreeModel model(tree);
        model.SetFolderFiller([&](ItemId item) { FillFolderChildren(tree, parser, item); });
        parser.FillTop(tree);
        PlaceFirstLevelPlaceholders(tree, parser);
        const QModelIndex big = Child(model, model.index(0, 0), "big");
        model.fetchMore(big);
        ShowFolderFiles(tree, parser, model.ItemAt(big));
        int red = 0;
        for (int r = 0; r < model.rowCount(big); ++r)
            red +=
                model.index(r, 0, big).data(Qt::ForegroundRole).value<QBrush>().color() == QColor(255, 0, 0);
        QCOMPARE(red, 2);  // file0 and file3

        QVERIFY(model.setData(big, Qt::Checked, Qt::CheckStateRole));
        for (int r = 0; r < model.rowCount(big); ++r)
            QCOMPARE(model.index(r, 0, big).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(model.index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        model.setData(model.index(2, 0, big), Qt::Unchecked, Qt::CheckStateRole);
        QCOMPARE(big.data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
        QVERIFY(changed.count() >= 1);
    }

    void workerInsertsReachTheModelOnlyThroughTheEventLoop() {
        ResultTree tree;
        ResultTreeModel model(tree);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        std::thread worker([&] {
            const ItemId root = tree.InsertItem(kNoItem, "ROOT", true, 0);
            for (int i = 0; i < 2000; ++i) {
                const ItemId folder = tree.InsertItem(root, "f" + std::to_string(i), true, i + 1);
                if (i % 2 == 0) tree.InsertPlaceholder(folder);
            }
            tree.SetTextColour(root, 0x0000FF);
        });
        worker.join();
        QCOMPARE(model.rowCount(), 0);  // nothing applied off the UI thread
        QTRY_COMPARE(model.rowCount(model.index(0, 0)), 2000);
        const QModelIndex root = model.index(0, 0);
        QVERIFY(model.hasChildren(model.index(0, 0, root)));
        QVERIFY(!model.hasChildren(model.index(1, 0, root)));
        QCOMPARE(root.data(Qt::ForegroundRole).value<QBrush>().color(), QColor(255, 0, 0));
        // Cleared by a worker: the model resets.
        std::thread([&] { tree.Clear(); }).join();
        QTRY_COMPARE(model.rowCount(), 0);
    }
};

QTEST_MAIN(ResultTreeModelTest)
#include "result_tree_model_test.moc"
