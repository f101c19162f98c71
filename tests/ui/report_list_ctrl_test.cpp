// The device list under real geometry and real mouse events: which presses select, which
// only focus, where cells begin and end, and how scrolling treats the keyboard focus.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <cstdio>

#include "ui/report_list_ctrl.h"

namespace {

constexpr unsigned kBoth = LIST_STATE_SELECTED | LIST_STATE_FOCUSED;

class ReportListTest : public testing::Test {
 protected:
  void SetUp() override {
    m_window.resize(640, 320);
    auto* list = new CReportListCtrl(&m_window);
    list->setObjectName("deviceList");
    list->setGeometry(10, 10, 600, 200);
    auto* field = new QLineEdit(&m_window);
    field->setObjectName("detailField");
    field->setGeometry(10, 240, 200, 24);
    list_ = m_window.findChild<CReportListCtrl*>("deviceList");
    field_ = m_window.findChild<QLineEdit*>("detailField");
    ASSERT_TRUE(list_->SetupColumns(kDeviceListColumns, kDeviceListColumnCount));
    m_window.show();
    m_window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_window));
  }

  void AddRows(int count) {
    for (int i = 0; i < count; ++i) {
      char label[32];
      std::snprintf(label, sizeof label, "10.0.%d.%d", i / 256, i % 256);
      const int row = list_->InsertItem(list_->GetItemCount(), label);
      list_->SetCellText(row, 1, "scale");
    }
  }

  // The middle of a cell, from the header's sections and the row's rectangle.
  QPoint Cell(int row, int column) const {
    const QHeaderView* header = list_->header();
    return {header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
            list_->visualRect(list_->model()->index(row, 0)).center().y()};
  }

  void Press(QPoint point, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(list_->viewport(), button, {}, point);
  }

  int CurrentRow() const { return list_->currentIndex().row(); }

  QWidget m_window;
  CReportListCtrl* list_ = nullptr;
  QLineEdit* field_ = nullptr;
};

TEST_F(ReportListTest, DefaultStateIsASingleSelectionReportWithFixedColumns) {
  EXPECT_EQ(list_->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_FALSE(list_->rootIsDecorated());
  EXPECT_FALSE(list_->header()->sectionsMovable());
  EXPECT_FALSE(list_->isSortingEnabled());
  EXPECT_EQ(list_->palette().color(QPalette::Inactive, QPalette::Highlight),
            list_->palette().color(QPalette::Active, QPalette::Highlight));
  ASSERT_EQ(list_->GetHeaderItemCount(), 5);
  const char* headings[] = {"IP-Addr", "Hostname", "DevType", "Status", "Valid until"};
  const int widths[] = {90, 120, 120, 50, 60};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(list_->model()->headerData(i, Qt::Horizontal).toString(), headings[i]);
    EXPECT_EQ(list_->GetColumnWidth(i), widths[i]);
  }
  EXPECT_EQ(list_->GetItemCount(), 0);
  EXPECT_EQ(list_->GetFirstSelectedItem(), -1);
}

TEST_F(ReportListTest, PressInFirstColumnSelectsAndTakesSelectionFromOtherRow) {
  AddRows(4);
  Press(Cell(1, 0));
  Press(Cell(2, 0));
  EXPECT_EQ(list_->GetItemState(2, kBoth), kBoth);
  EXPECT_EQ(list_->GetItemState(1, kBoth), 0u);
  EXPECT_EQ(list_->GetFirstSelectedItem(), 2);
}

TEST_F(ReportListTest, PressInOtherColumnFocusesWithoutSelecting) {
  AddRows(4);
  Press(Cell(1, 0));
  Press(Cell(2, 3));
  EXPECT_EQ(list_->GetItemState(2, kBoth), LIST_STATE_FOCUSED);
  EXPECT_EQ(list_->GetFirstSelectedItem(), -1);
  EXPECT_EQ(CurrentRow(), 2);
}

TEST_F(ReportListTest, OtherColumnOnSelectedRowStaysUnselectedAfterRelease) {
  AddRows(4);
  Press(Cell(1, 0));
  Press(Cell(1, 2));
  EXPECT_EQ(list_->GetItemState(1, kBoth), LIST_STATE_FOCUSED);

  // Nor may a hand that moves while the button is down select a row after all.
  QTest::mousePress(list_->viewport(), Qt::LeftButton, {}, Cell(3, 1));
  QTest::mouseMove(list_->viewport(), Cell(3, 1) + QPoint(3, 1));
  QTest::mouseMove(list_->viewport(), Cell(2, 1));
  QTest::mouseRelease(list_->viewport(), Qt::LeftButton, {}, Cell(2, 1));
  EXPECT_EQ(list_->GetFirstSelectedItem(), -1);
  EXPECT_EQ(CurrentRow(), 3);
}

TEST_F(ReportListTest, BorderPixelBetweenFirstColumnsBelongsToTheFirst) {
  AddRows(2);
  const int border = list_->header()->sectionViewportPosition(1);
  const int y = Cell(1, 0).y();
  int column = -1;
  EXPECT_EQ(list_->HitTestCell({border, y}, &column), 1);
  EXPECT_EQ(column, 0);
  EXPECT_EQ(list_->HitTestCell({border + 1, y}, &column), 1);
  EXPECT_EQ(column, 1);

  Press({border, y});
  EXPECT_EQ(list_->GetItemState(1, kBoth), kBoth);
  Press({border + 1, y});
  EXPECT_EQ(list_->GetItemState(1, kBoth), LIST_STATE_FOCUSED);
}

TEST_F(ReportListTest, PartlyVisibleBottomRowIsHitInALongList) {
  AddRows(1000);
  const int row_height = list_->GetItemRect(0).height();
  ASSERT_GT(row_height, 2);
  const int frame = list_->height() - list_->viewport()->height();
  list_->resize(list_->width(), frame + 7 * row_height + row_height / 2);
  list_->verticalScrollBar()->setValue(500);
  ASSERT_EQ(list_->GetTopIndex(), 500);
  ASSERT_EQ(list_->GetCountPerPage(), 7);

  const QPoint bottom(Cell(0, 0).x(), list_->viewport()->height() - 1);
  int column = -1;
  EXPECT_EQ(list_->HitTestCell(bottom, &column), 507);
  EXPECT_EQ(column, 0);
  Press(bottom);
  EXPECT_EQ(list_->GetFirstSelectedItem(), 507);
}

TEST_F(ReportListTest, PressBesideTheCellsOnlyDropsTheSelection) {
  int column = -1;
  Press({20, 20});  // empty list
  EXPECT_EQ(list_->HitTestCell({20, 20}, &column), -1);
  EXPECT_EQ(column, 0);

  AddRows(3);
  const QPoint below(Cell(0, 0).x(), list_->GetItemRect(2).bottom() + 5);
  const QPoint right_of_last(list_->header()->length() + 5, Cell(0, 0).y());
  for (const QPoint& point : {below, right_of_last}) {
    Press(Cell(1, 0));
    column = -1;
    EXPECT_EQ(list_->HitTestCell(point, &column), -1);
    EXPECT_EQ(column, 0);
    Press(point);
    EXPECT_EQ(list_->GetFirstSelectedItem(), -1);
    EXPECT_EQ(list_->GetItemState(1, kBoth), LIST_STATE_FOCUSED);
  }
}

TEST_F(ReportListTest, RightPressAndSecondPressOfDoubleClickSkipTheClickRule) {
  AddRows(3);
  // The list itself selects on a right press; the click rule would have undone that here.
  Press(Cell(2, 3), Qt::RightButton);
  EXPECT_EQ(list_->GetItemState(2, kBoth), kBoth);

  QSignalSpy double_clicks(list_, &CListCtrl::DoubleClick);
  Press(Cell(1, 0));
  QMouseEvent second(QEvent::MouseButtonDblClick, Cell(1, 3),
                     list_->viewport()->mapToGlobal(Cell(1, 3)), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
  QApplication::sendEvent(list_->viewport(), &second);
  ASSERT_EQ(double_clicks.count(), 1);
  EXPECT_EQ(double_clicks.at(0).at(0).toPoint(), Cell(1, 3));
  EXPECT_EQ(list_->GetFirstSelectedItem(), 1);
}

TEST_F(ReportListTest, ScrollActionPullsFocusIntoListBeforeTheViewMoves) {
  AddRows(100);
  list_->resize(200, list_->height());  // narrower than the columns: both bars in use
  for (QScrollBar* bar : {list_->verticalScrollBar(), list_->horizontalScrollBar()}) {
    field_->setFocus();
    ASSERT_TRUE(field_->hasFocus());
    ASSERT_GT(bar->maximum(), 0);
    // The bar announces an action before its value, and with it the view, moves.
    bool focused_before_move = false;
    const auto watch = QObject::connect(bar, &QScrollBar::actionTriggered,
                                        [&] { focused_before_move = list_->hasFocus(); });
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QObject::disconnect(watch);
    EXPECT_TRUE(list_->hasFocus());
    EXPECT_TRUE(focused_before_move);
  }
  EXPECT_EQ(list_->GetTopIndex(), 1);
}

TEST_F(ReportListTest, ItemChangedFollowsSelectionAndFocus) {
  AddRows(3);
  QSignalSpy changes(list_, &CListCtrl::ItemChanged);
  Press(Cell(0, 0));
  EXPECT_GT(changes.count(), 0);
  changes.clear();
  Press(Cell(0, 2));  // the same row, now focused only
  EXPECT_GT(changes.count(), 0);
  changes.clear();
  list_->SetItemState(2, kBoth, kBoth);
  EXPECT_GT(changes.count(), 0);
  EXPECT_EQ(list_->GetFirstSelectedItem(), 2);
}

TEST_F(ReportListTest, SetupColumnsOnFilledListRemovesRowsAndLeavesItemData) {
  AddRows(3);
  int record = 42;
  list_->SetItemData(1, &record);
  list_->SetItemState(1, kBoth, kBoth);
  QSignalSpy changes(list_, &CListCtrl::ItemChanged);
  EXPECT_TRUE(list_->SetupColumns(kDeviceListColumns, 1));
  EXPECT_EQ(list_->GetItemCount(), 0);
  EXPECT_EQ(list_->GetFirstSelectedItem(), -1);
  EXPECT_EQ(changes.count(), 0);
  // Emptying the rows keeps the columns and their widths; the new one goes in front.
  ASSERT_EQ(list_->GetHeaderItemCount(), 6);
  EXPECT_EQ(list_->GetColumnWidth(0), 90);
  EXPECT_EQ(list_->GetColumnWidth(2), 120);
  EXPECT_EQ(list_->GetItemData(1), nullptr);
  EXPECT_EQ(record, 42);
}

TEST_F(ReportListTest, CellTextsAreUtf8OrLatin1AndWritingOneChangesNothingElse) {
  AddRows(1);
  int record = 0;
  list_->SetItemData(0, &record);
  list_->SetItemState(0, kBoth, kBoth);
  EXPECT_TRUE(list_->SetCellText(0, 2, "W\xc3\xa4gezelle"));
  EXPECT_TRUE(list_->SetCellText(0, 3, "a\xff\xc3("));
  EXPECT_TRUE(list_->SetCellText(0, 4, nullptr));
  const QAbstractItemModel* model = list_->model();
  EXPECT_EQ(model->index(0, 2).data().toString(), QString::fromUtf8(u8"Wägezelle"));
  EXPECT_EQ(model->index(0, 3).data().toString(), QStringLiteral(u"a\u00FF\u00C3("));
  EXPECT_EQ(model->index(0, 4).data().toString(), QString());
  EXPECT_EQ(list_->GetItemData(0), &record);
  EXPECT_EQ(list_->GetItemState(0, kBoth), kBoth);

  EXPECT_FALSE(list_->SetCellText(1, 0, "x"));  // no such row
  EXPECT_FALSE(list_->SetCellText(0, 5, "x"));  // no such column
  EXPECT_FALSE(list_->SetCellText(-1, 0, "x"));
}

TEST_F(ReportListTest, RewritingACellWithItsOwnTextTellsTheViewNothing) {
  AddRows(2);
  QSignalSpy changes(list_->model(), &QAbstractItemModel::dataChanged);
  EXPECT_TRUE(list_->SetCellText(0, 3, "online"));
  EXPECT_TRUE(list_->SetCellText(0, 3, "online"));
  EXPECT_TRUE(list_->SetCellText(1, 1, "scale"));  // as AddRows wrote it
  ASSERT_EQ(changes.count(), 1);
  EXPECT_EQ(changes[0][0].value<QModelIndex>(), list_->model()->index(0, 3));

  // A different text, and a cell emptied, are changes again.
  EXPECT_TRUE(list_->SetCellText(0, 3, "lost"));
  EXPECT_TRUE(list_->SetCellText(1, 1, ""));
  EXPECT_EQ(changes.count(), 3);
  EXPECT_EQ(list_->model()->index(0, 3).data().toString(), QStringLiteral("lost"));
  EXPECT_EQ(list_->model()->index(1, 1).data().toString(), QString());
}

TEST_F(ReportListTest, FocusedUnselectedRowIsDrawnDifferently) {
  AddRows(3);
  list_->setFocus();
  ASSERT_TRUE(list_->hasFocus());
  list_->selectionModel()->clearCurrentIndex();
  const QImage plain = list_->viewport()->grab().toImage();
  list_->SetItemState(1, LIST_STATE_FOCUSED, kBoth);
  ASSERT_EQ(list_->GetItemState(1, kBoth), LIST_STATE_FOCUSED);
  const QImage focused = list_->viewport()->grab().toImage();
  EXPECT_NE(plain, focused);
}

}  // namespace
