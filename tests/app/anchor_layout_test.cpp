// The resize layout on a small window shaped like the main dialog: a stretching list,
// detail fields anchored left, right and bottom, labels and buttons anchored left and bottom.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

#include "app/anchor_layout.h"

namespace {

class AnchorLayoutTest : public testing::Test {
 protected:
  void SetUp() override {
    m_window.resize(400, 300);
    Add(new QTreeView(&m_window), "deviceList", {10, 10, 380, 180}, 15);
    Add(new QLineEdit(&m_window), "modelName", {80, 200, 280, 20}, 11);
    Add(new QLabel("Model name", &m_window), "modelNameLabel", {10, 202, 60, 16}, 9);
    Add(new QPushButton("Open", &m_window), "openButton", {300, 260, 80, 24}, 9);
    Add(new QPushButton("Backup", &m_window), "backupButton", {100, 260, 60, 24}, 9);
    Child("backupButton")->hide();
    m_window.show();
  }

  void Add(QWidget* control, const char* name, QRect rect, uint32_t flags) {
    control->setObjectName(name);
    control->setGeometry(rect);
    m_layout.AddControl(control, flags);
  }

  QWidget* Child(const char* name) { return m_window.findChild<QWidget*>(name); }
  QRect At(const char* name) { return Child(name)->geometry(); }

  void ResizeTo(int width, int height) {
    m_window.resize(width, height);
    m_layout.Reposition(&m_window);
  }

  QWidget m_window;
  AnchorLayout m_layout;
};

TEST_F(AnchorLayoutTest, WideningStretchesBothSidedControlsAndKeepsLeftAnchoredOnes) {
  ResizeTo(450, 300);
  EXPECT_EQ(At("deviceList"), QRect(10, 10, 430, 180));
  EXPECT_EQ(At("modelName"), QRect(80, 200, 330, 20));
  EXPECT_EQ(At("modelNameLabel"), QRect(10, 202, 60, 16));
  EXPECT_EQ(At("openButton"), QRect(300, 260, 80, 24));
}

TEST_F(AnchorLayoutTest, GrowingTallerLengthensListAndMovesBottomAnchoredDown) {
  ResizeTo(400, 340);
  EXPECT_EQ(At("deviceList"), QRect(10, 10, 380, 220));
  EXPECT_EQ(At("modelName"), QRect(80, 240, 280, 20));
  EXPECT_EQ(At("modelNameLabel"), QRect(10, 242, 60, 16));
  EXPECT_EQ(At("openButton"), QRect(300, 300, 80, 24));
  // A hidden button follows its anchors and stays hidden.
  EXPECT_EQ(At("backupButton"), QRect(100, 300, 60, 24));
  EXPECT_TRUE(Child("backupButton")->isHidden());
}

TEST_F(AnchorLayoutTest, InitialSizeRestoresEveryRegisteredRectangle) {
  ResizeTo(700, 220);
  ResizeTo(333, 999);
  ResizeTo(400, 300);
  ASSERT_EQ(m_layout.Entries().size(), 5u);
  for (const AnchorEntry& entry : m_layout.Entries()) {
    const QRect registered(QPoint(entry.left, entry.top),
                           QPoint(entry.right - 1, entry.bottom - 1));
    EXPECT_EQ(entry.control->geometry(), registered) << entry.control->objectName().toStdString();
  }
}

TEST_F(AnchorLayoutTest, NothingIsRegisteredWithoutFlagsOrControl) {
  QLabel spare(&m_window);
  m_layout.AddControl(&spare, 0);
  m_layout.AddControl(nullptr, ANCHOR_LEFT | ANCHOR_BOTTOM);
  EXPECT_EQ(m_layout.Entries().size(), 5u);
}

TEST_F(AnchorLayoutTest, MinimisedWindowMovesNothingUntilRestored) {
  m_window.setWindowState(Qt::WindowMinimized);
  ResizeTo(450, 340);
  EXPECT_EQ(At("deviceList"), QRect(10, 10, 380, 180));
  EXPECT_EQ(At("openButton"), QRect(300, 260, 80, 24));
  m_window.setWindowState(Qt::WindowNoState);
  m_layout.Reposition(&m_window);
  EXPECT_EQ(At("deviceList"), QRect(10, 10, 430, 220));
}

TEST_F(AnchorLayoutTest, DestroyedControlIsSkipped) {
  delete Child("modelNameLabel");
  ResizeTo(450, 340);
  EXPECT_EQ(At("openButton"), QRect(300, 300, 80, 24));
}

TEST_F(AnchorLayoutTest, HideOutsideHidesPastTheEdgeInPlaceAndShowsOnceItFits) {
  // Right-anchored: shrinking the window pushes it out past the left edge.
  Add(new QPushButton("Right", &m_window), "rightButton", {10, 100, 40, 20},
      ANCHOR_RIGHT | ANCHOR_TOP | ANCHOR_HIDE_OUTSIDE);
  // Top-anchored: shrinking the window cuts into its bottom edge.
  Add(new QPushButton("Low", &m_window), "lowButton", {200, 280, 40, 20},
      ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_HIDE_OUTSIDE);

  ResizeTo(390, 300);  // exactly touches the left edge
  EXPECT_EQ(At("rightButton"), QRect(0, 100, 40, 20));
  EXPECT_FALSE(Child("rightButton")->isHidden());
  ResizeTo(389, 299);  // one pixel past both edges
  EXPECT_TRUE(Child("rightButton")->isHidden());
  EXPECT_EQ(At("rightButton"), QRect(0, 100, 40, 20));
  EXPECT_TRUE(Child("lowButton")->isHidden());
  EXPECT_EQ(At("lowButton"), QRect(200, 280, 40, 20));

  ResizeTo(430, 300);
  EXPECT_FALSE(Child("rightButton")->isHidden());
  EXPECT_EQ(At("rightButton"), QRect(40, 100, 40, 20));
  EXPECT_FALSE(Child("lowButton")->isHidden());
}

}  // namespace
