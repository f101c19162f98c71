// The main window as a user meets it: its state after start-up, the start-up failures, the
// details panel and commands on a selected device, and resizing. Runs in a private network,
// with the description fetch, the tones and the shell replaced by recorders.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <map>
#include <string>

#include "app/main_app.h"
#include "app/main_dialog.h"
#include "devices/announcement_protocol.h"
#include "devices/device_record.h"
#include "http/get_request.h"
#include "res/dialog_template.h"
#include "ssdp/ssdp_protocol.h"
#include "tests/support/isolated_network.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/recording_shell.h"
#include "tests/support/recording_tones.h"

namespace {

std::string Description(const std::string& host, const std::string& extra = "") {
  return "<root><device><modelDescription>Indicator \"" + host +
         "\"</modelDescription><modelName>IND-7</modelName><modelNumber>7.2</modelNumber>"
         "<serialNumber>SN-" +
         host + "</serialNumber><UDN>uuid:0000-" + host +
         "</UDN><presentationURL>http://10.0.0.7/</presentationURL>" + extra + "</device></root>";
}

std::string Response(const std::string& usn, const std::string& location, int max_age = 1800) {
  return std::string("HTTP/1.1 200 OK\r\nST: ") + SEARCH_TARGET + "\r\nUSN: " + usn +
         "\r\nLOCATION: " + location + "\r\nCACHE-CONTROL: max-age=" + std::to_string(max_age) +
         "\r\n\r\n";
}

// Answers each LOCATION from a table, as a device's web server would.
struct FakeDevices {
  std::map<std::string, std::string> bodies;
  std::vector<std::pair<std::string, uint32_t>> requests;  // URL and size, in call order
  uint32_t Fetch(char* buffer, uint32_t size, const char* url) {
    requests.emplace_back(url, size);
    auto it = bodies.find(url);
    std::string response = it == bodies.end() ? "" : "HTTP/1.1 200 OK\r\n\r\n" + it->second;
    uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(response.size(), size));
    std::memcpy(buffer, response.data(), n);
    buffer[n] = '\0';
    return n;
  }
};

InterfaceSource OneInterface() {
  InterfaceSource source;
  source.list = [](std::vector<InterfaceEntry>& out) {
    out = {{Address("127.0.0.1"), true, true}, {Address(kHostA), true, false}};
    return true;
  };
  return source;
}

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }

  std::unique_ptr<CMainDialog> MakeDialog(bool all_commands = false) {
    DialogServices services;
    services.session.interfaces = OneInterface();
    services.session.fetch_url = [this](char* b, uint32_t s, const char* u) {
      return m_devices.Fetch(b, s, u);
    };
    services.session.tones = &m_tones;
    services.shell = &m_shell;
    services.fatal = [this](const char* text) { m_fatal.emplace_back(text); };
    auto dialog = std::make_unique<CMainDialog>(all_commands, std::move(services));
    return dialog;
  }

  // Announces a device to the dialog as if its response had just arrived.
  void Announce(CMainDialog& dialog, const std::string& host, const char* from = kHostB) {
    const std::string location = "http://" + host + "/description.xml";
    m_devices.bodies[location] = Description(host);
    std::string text = Response("uuid:" + host + "::" + SEARCH_TARGET, location);
    dialog.OnReceive(text.data(), Address(from));
  }

  template <typename T>
  T* Item(CMainDialog& dialog, int id) {
    return static_cast<T*>(dialog.GetDlgItem(id));
  }

  // Presses the left button on a row's first cell, as a user selects it.
  void ClickRow(CMainDialog& dialog, int row) {
    CReportListCtrl& list = dialog.DeviceList();
    QRect cell = list.GetItemRect(row);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, cell.topLeft() + QPoint(5, 3));
  }

  FakeDevices m_devices;
  RecordingTones m_tones;
  RecordingShell m_shell;
  std::vector<std::string> m_fatal;
};

TEST_F(MainDialogTest, DefaultStateAfterStartUp) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  EXPECT_EQ(dialog->windowTitle(), "Tarovue");
  EXPECT_FALSE(Item<QPushButton>(*dialog, IDOK)->isEnabled()) << "Open";
  for (int id : {IDC_PING, IDC_TELNET, IDC_BACKUP, IDC_SEARCH}) {
    EXPECT_TRUE(Item<QWidget>(*dialog, id)->isEnabled()) << id;
  }
  for (int id : {IDC_SHOW_SCALES, IDC_TELNET, IDC_BACKUP}) {
    EXPECT_TRUE(Item<QWidget>(*dialog, id)->isHidden()) << id << " hidden without /X";
  }
  EXPECT_FALSE(Item<QWidget>(*dialog, IDC_PING)->isHidden());
  for (int id : {IDC_MODEL_NAME, IDC_MODEL_NUMBER, IDC_SERIAL_NUMBER, IDC_GUID}) {
    EXPECT_EQ(Item<QLineEdit>(*dialog, id)->text(), "") << id;
    EXPECT_TRUE(Item<QLineEdit>(*dialog, id)->isReadOnly()) << id;
  }
  EXPECT_FALSE(Item<QCheckBox>(*dialog, IDC_BEEP)->isChecked());
  CReportListCtrl& list = dialog->DeviceList();
  ASSERT_EQ(list.GetHeaderItemCount(), 5);
  QStringList headings;
  for (int i = 0; i < 5; ++i) {
    headings << list.model()->headerData(i, Qt::Horizontal).toString();
  }
  EXPECT_EQ(headings, (QStringList{"IP-Addr", "Hostname", "DevType", "Status", "Valid until"}));
  EXPECT_EQ(dialog->Layout().Entries().size(), 16u) << "id 2 registers nothing";
  EXPECT_EQ(dialog->minimumSize(), dialog->InitialClientRect().size());
  EXPECT_EQ(dialog->findChild<QWidget*>("deviceList"), &list);
  EXPECT_TRUE(m_fatal.empty());
}

TEST_F(MainDialogTest, AllCommandsShowTheHiddenButtons) {
  auto dialog = MakeDialog(true);
  ASSERT_TRUE(dialog->OnInitDialog());
  for (int id : {IDC_SHOW_SCALES, IDC_TELNET, IDC_BACKUP}) {
    EXPECT_FALSE(Item<QWidget>(*dialog, id)->isHidden()) << id;
  }
}

TEST_F(MainDialogTest, CommandLineSwitchIsFoundAnywhereAndOnlyInUpperCase) {
  EXPECT_TRUE(CMainApp::AllCommandsRequested("/usr/bin/tarovue /X"));
  EXPECT_TRUE(CMainApp::AllCommandsRequested("/opt/Xtools/tarovue")) << "in the program path";
  EXPECT_FALSE(CMainApp::AllCommandsRequested("/usr/bin/tarovue /x"));
  EXPECT_FALSE(CMainApp::AllCommandsRequested("/usr/bin/tarovue"));
}

TEST_F(MainDialogTest, StartUpFailuresReachTheFatalHandlerWithTheirTexts) {
  struct Case {
    const char* label;
    InterfaceSource source;
    const char* text;
  };
  InterfaceSource no_socket;
  no_socket.probe = [] { return false; };
  InterfaceSource no_list;
  no_list.list = [](std::vector<InterfaceEntry>&) { return false; };
  for (const Case& c :
       {Case{"no temporary socket", no_socket, "WSASocket failed"},
        Case{"no interface list", no_list, "m_ssdp_socket.SIO_GET_INTERFACE_LIST failed"}}) {
    m_fatal.clear();
    DialogServices services;
    services.session.interfaces = c.source;
    services.session.tones = &m_tones;
    services.shell = &m_shell;
    services.fatal = [this](const char* text) { m_fatal.emplace_back(text); };
    CMainDialog dialog(false, services);
    EXPECT_FALSE(dialog.OnInitDialog()) << c.label;
    EXPECT_EQ(m_fatal, std::vector<std::string>{c.text}) << c.label;
  }
}

TEST_F(MainDialogTest, StartUpFailureEndsTheProcessWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        DialogServices services;
        services.session.interfaces.probe = [] { return false; };
        services.session.tones = &m_tones;
        services.shell = &m_shell;
        CMainDialog dialog(false, services);
        // The message box waits for the user; dismiss it as one would.
        QTimer::singleShot(50, [] {
          if (QWidget* box = QApplication::activeModalWidget()) box->close();
        });
        dialog.OnInitDialog();
      },
      ::testing::ExitedWithCode(1), "");
}

TEST_F(MainDialogTest, SocketLibraryFailureShowsItsTextAndEndsWithoutAWindow) {
  QString shown;
  QTimer::singleShot(50, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->close();
    }
  });
  CMainApp app("tarovue", [] { return false; });
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(shown, "Fehler beim Initialisieren der Windows-Sockets.");
}

TEST_F(MainDialogTest, SelectingARowFillsTheDetailsAndEnablesTheCommands) {
  auto dialog = MakeDialog(true);
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  Announce(*dialog, "scale-1");
  Announce(*dialog, "scale-2");
  ASSERT_EQ(dialog->DeviceList().GetItemCount(), 2);
  EXPECT_EQ(dialog->DeviceList().GetItemText(1, 1), "scale-2");

  ClickRow(*dialog, 1);
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_MODEL_NAME)->text(), "IND-7");
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_MODEL_NUMBER)->text(), "7.2");
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_SERIAL_NUMBER)->text(), "SN-scale-2");
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_GUID)->text(), "0000-scale-2");
  for (int id : {IDOK, IDC_PING, IDC_TELNET, IDC_BACKUP}) {
    EXPECT_TRUE(Item<QWidget>(*dialog, id)->isEnabled()) << id;
  }

  Item<QPushButton>(*dialog, IDOK)->click();
  Item<QPushButton>(*dialog, IDC_BACKUP)->click();
  Item<QPushButton>(*dialog, IDC_TELNET)->click();
  EXPECT_EQ(m_shell.urls,
            (std::vector<std::string>{"http://10.0.0.7/", "http://10.0.0.7/backup.html"}));
  EXPECT_EQ(m_shell.telnet_addresses, std::vector<std::string>{kHostB});
}

TEST_F(MainDialogTest, ItemChangedWithoutSelectionShowsDashesAndDisablesTheCommands) {
  auto dialog = MakeDialog(true);
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  Announce(*dialog, "scale-1");
  ClickRow(*dialog, 0);
  dialog->DeviceList().SetItemState(0, 0, LIST_STATE_SELECTED);
  for (int id : {IDOK, IDC_PING, IDC_TELNET, IDC_BACKUP}) {
    EXPECT_FALSE(Item<QWidget>(*dialog, id)->isEnabled()) << id;
  }
  for (int id : {IDC_MODEL_NAME, IDC_MODEL_NUMBER, IDC_SERIAL_NUMBER, IDC_GUID}) {
    EXPECT_EQ(Item<QLineEdit>(*dialog, id)->text(), "---") << id;
  }
  EXPECT_TRUE(Item<QWidget>(*dialog, IDC_SEARCH)->isEnabled());
}

// The panel is refreshed when a row gets its record or a new address, as well as on
// selection; status and validity updates leave it alone.
TEST_F(MainDialogTest, ItemChangedFollowsRecordsAndAddressesButNotStatusUpdates) {
  auto dialog = MakeDialog(true);
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  Announce(*dialog, "scale-1");
  for (int id : {IDOK, IDC_PING, IDC_TELNET, IDC_BACKUP}) {
    EXPECT_FALSE(Item<QWidget>(*dialog, id)->isEnabled()) << "first row, none selected: " << id;
  }
  for (int id : {IDC_MODEL_NAME, IDC_MODEL_NUMBER, IDC_SERIAL_NUMBER, IDC_GUID}) {
    EXPECT_EQ(Item<QLineEdit>(*dialog, id)->text(), "---") << id;
  }

  ClickRow(*dialog, 0);
  QSignalSpy changes(&dialog->DeviceList(), &CListCtrl::ItemChanged);
  const std::string location = "http://scale-1/description.xml";
  std::string body = Description("scale-1");
  body.replace(body.find("SN-scale-1"), 10, "SN-renewed");
  m_devices.bodies[location] = body;
  const std::string usn = "uuid:scale-1::" + std::string(SEARCH_TARGET);
  std::string again = Response(usn, location);
  dialog->OnReceive(again.data(), Address(kHostB));
  std::string bye = std::string(kNotifyStartLine) + "\r\n" + kFieldNts + ": " + kNtsByebye +
                    "\r\n" + kFieldUsn + ": " + usn + "\r\n\r\n";
  dialog->OnReceive(bye.data(), Address(kHostB));
  Item<QPushButton>(*dialog, IDC_SEARCH)->click();
  EXPECT_EQ(changes.count(), 0) << "same address, byebye and search touch only status cells";
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_SERIAL_NUMBER)->text(), "SN-scale-1");

  // A device that moved answers with a LOCATION on its new address.
  const std::string moved_location = "http://scale-1-moved/description.xml";
  m_devices.bodies[moved_location] = body;
  std::string moved = Response(usn, moved_location);
  dialog->OnReceive(moved.data(), Address(kHostA));
  EXPECT_EQ(changes.count(), 1);
  EXPECT_EQ(dialog->DeviceList().GetItemText(0, 0), kHostA);
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_SERIAL_NUMBER)->text(), "SN-renewed");
}

TEST_F(MainDialogTest, MissingElementLeavesItsFieldEmpty) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  m_devices.bodies["http://x/d.xml"] =
      "<modelDescription>Indicator \"x\"</modelDescription><modelName>IND</modelName>";
  std::string text = Response("uuid:x", "http://x/d.xml");
  dialog->OnReceive(text.data(), Address(kHostB));
  ClickRow(*dialog, 0);
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_MODEL_NAME)->text(), "IND");
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_MODEL_NUMBER)->text(), "");
  EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_GUID)->text(), "");
}

TEST_F(MainDialogTest, UmlautsShowFromUtf8AndFromLatin1Devices) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  const QString scale = QString::fromUtf8(u8"Waage-\u00FC");
  const QString cell = QString::fromUtf8(u8"W\u00E4gezelle");
  const char* bodies[] = {
      "<modelDescription>\"Waage-\xC3\xBC\"</modelDescription><modelName>W\xC3\xA4gezelle"
      "</modelName>",
      "<modelDescription>\"Waage-\xFC\"</modelDescription><modelName>W\xE4gezelle</modelName>",
  };
  for (int i = 0; i < 2; ++i) {
    const std::string location = "http://device-" + std::to_string(i) + "/d.xml";
    m_devices.bodies[location] = bodies[i];
    std::string text = Response("uuid:device-" + std::to_string(i), location);
    dialog->OnReceive(text.data(), Address(kHostB));
  }
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(dialog->DeviceList().GetItemText(row, 1), scale) << row;
    EXPECT_EQ(dialog->DeviceList().GetItemText(row, 2), cell) << row;
    ClickRow(*dialog, row);
    EXPECT_EQ(Item<QLineEdit>(*dialog, IDC_MODEL_NAME)->text(), cell) << row;
  }
}

TEST_F(MainDialogTest, DoubleClickOpensOnARowEvenWithOpenDisabledAndNotBelowTheRows) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  Announce(*dialog, "scale-1");
  CReportListCtrl& list = dialog->DeviceList();
  const QPoint on_row = list.GetItemRect(0).topLeft() + QPoint(5, 3);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, on_row);
  Item<QWidget>(*dialog, IDOK)->setEnabled(false);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, on_row);
  EXPECT_EQ(m_shell.urls, std::vector<std::string>{"http://10.0.0.7/"});

  m_shell.urls.clear();
  const QPoint below = list.GetItemRect(0).bottomLeft() + QPoint(5, 40);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, below);
  EXPECT_TRUE(m_shell.urls.empty());
}

TEST_F(MainDialogTest, EnterPressesTheFocusedButtonAndOpensFromAnywhereElse) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  Announce(*dialog, "scale-1");
  Announce(*dialog, "scale-2");
  ClickRow(*dialog, 0);
  ASSERT_TRUE(dialog->DeviceList().hasFocus());
  QTest::keyClick(&dialog->DeviceList(), Qt::Key_Return);
  EXPECT_EQ(m_shell.urls, std::vector<std::string>{"http://10.0.0.7/"});
  EXPECT_TRUE(dialog->isVisible());

  auto* search = Item<QPushButton>(*dialog, IDC_SEARCH);
  search->setFocus(Qt::TabFocusReason);
  QTest::keyClick(search, Qt::Key_Return);
  EXPECT_EQ(dialog->DeviceList().GetItemText(0, 3), "searching");
  EXPECT_EQ(m_shell.urls.size(), 1u) << "Enter on Search does not open";

  // Back in the list, Open is the default again.
  ClickRow(*dialog, 1);
  QTest::keyClick(&dialog->DeviceList(), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(m_shell.urls.size(), 2u);
}

TEST_F(MainDialogTest, DevicePageThatIsNoWebAddressIsNeverHandedToTheShell) {
  auto dialog = MakeDialog(true);
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  m_devices.bodies["http://evil/d.xml"] =
      "<modelDescription>\"evil\"</modelDescription><presentationURL>file:///etc/passwd"
      "</presentationURL>";
  std::string text = Response("uuid:evil", "http://evil/d.xml");
  dialog->OnReceive(text.data(), Address(kHostB));
  ClickRow(*dialog, 0);
  Item<QPushButton>(*dialog, IDOK)->click();
  Item<QPushButton>(*dialog, IDC_BACKUP)->click();
  EXPECT_TRUE(m_shell.urls.empty());
}

TEST_F(MainDialogTest, PingRequestsThePingPageThroughTheSessionsFetcher) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  Announce(*dialog, "scale-1");
  auto* ping = Item<QPushButton>(*dialog, IDC_PING);
  m_devices.requests.clear();
  ping->setEnabled(true);
  ping->click();
  EXPECT_TRUE(m_devices.requests.empty()) << "nothing selected";

  ClickRow(*dialog, 0);
  const std::string url = std::string("http://") + kHostB + "/ping";
  m_devices.bodies[url] = std::string(4000, 'x');  // more than the buffer takes
  ping->click();
  ASSERT_EQ(m_devices.requests.size(), 1u);
  EXPECT_EQ(m_devices.requests[0], std::make_pair(url, 1024u));
  char scratch[kGetUrlRequestArea];
  GetRequest request;
  ASSERT_TRUE(PrepareGetRequest(scratch, sizeof scratch, url.c_str(), &request));
  EXPECT_STREQ(request.host, kHostB);
  EXPECT_EQ(request.port, 80);
  EXPECT_STREQ(request.text, "GET /ping HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(m_shell.Empty()) << "the answer is dropped";
}

TEST_F(MainDialogTest, SearchDisablesOpenAndMarksEveryRowSearching) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  Announce(*dialog, "scale-1");
  ClickRow(*dialog, 0);
  ASSERT_TRUE(Item<QWidget>(*dialog, IDOK)->isEnabled());
  Item<QPushButton>(*dialog, IDC_SEARCH)->click();
  EXPECT_FALSE(Item<QWidget>(*dialog, IDOK)->isEnabled());
  EXPECT_TRUE(Item<QWidget>(*dialog, IDC_PING)->isEnabled()) << "only Open";
  EXPECT_EQ(dialog->DeviceList().GetItemText(0, 3), "searching");
  EXPECT_EQ(dialog->DeviceList().GetItemText(0, 4), "????");
}

TEST_F(MainDialogTest, BeepBoxDecidesWhetherTonesPlay) {
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  Announce(*dialog, "quiet");
  EXPECT_TRUE(m_tones.Played().empty());
  Item<QCheckBox>(*dialog, IDC_BEEP)->setChecked(true);
  Announce(*dialog, "loud");
  EXPECT_FALSE(m_tones.Played().empty());
}

TEST_F(MainDialogTest, ShowScalesWritesThePageAndOpensIt) {
  auto dialog = MakeDialog(true);
  ASSERT_TRUE(dialog->OnInitDialog());
  Announce(*dialog, "scale-1");
  Item<QPushButton>(*dialog, IDC_SHOW_SCALES)->click();
  ASSERT_EQ(m_shell.files.size(), 1u);
  EXPECT_NE(m_shell.files[0].find("Indicators.html"), std::string::npos);
}

// Resizing: the list stretches both ways, the detail fields across, everything else keeps
// its distance from the left and bottom edges.
TEST_F(MainDialogTest, ResizingMovesAndStretchesAsAnchored) {
  auto dialog = MakeDialog(false);
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  std::map<int, QRect> before;
  for (const ControlTemplate& c : kMainDialogControls)
    before[c.id] = dialog->GetDlgItem(c.id)->geometry();
  const QSize initial = dialog->size();
  const int dw = 120, dh = 70;
  dialog->resize(initial + QSize(dw, dh));
  QCoreApplication::processEvents();

  for (const ControlTemplate& c : kMainDialogControls) {
    const QRect now = dialog->GetDlgItem(c.id)->geometry();
    const QRect was = before[c.id];
    if (c.id == IDC_DEVICE_LIST) {
      EXPECT_EQ(now, was.adjusted(0, 0, dw, dh)) << "list";
    } else if (c.kind == ControlKind::kReadOnlyEdit) {
      EXPECT_EQ(now, was.adjusted(0, dh, dw, dh)) << c.object_name;
    } else {
      EXPECT_EQ(now, was.translated(0, dh)) << c.object_name;
    }
  }
  EXPECT_TRUE(Item<QWidget>(*dialog, IDC_TELNET)->isHidden()) << "hidden buttons stay hidden";

  dialog->resize(initial);
  QCoreApplication::processEvents();
  for (const ControlTemplate& c : kMainDialogControls) {
    EXPECT_EQ(dialog->GetDlgItem(c.id)->geometry(), before[c.id]) << c.object_name;
  }
  dialog->resize(initial - QSize(50, 50));
  EXPECT_EQ(dialog->size(), initial) << "never below the initial size";
}

TEST_F(MainDialogTest, TemplateControlsDoNotOverlapAndFitTheWindow) {
  auto dialog = MakeDialog(true);
  ASSERT_TRUE(dialog->OnInitDialog());
  const QRect client = dialog->rect();
  for (const ControlTemplate& a : kMainDialogControls) {
    const QRect ra = dialog->GetDlgItem(a.id)->geometry();
    EXPECT_TRUE(client.contains(ra)) << a.object_name;
    for (const ControlTemplate& b : kMainDialogControls) {
      if (&a < &b) {
        EXPECT_FALSE(ra.intersects(dialog->GetDlgItem(b.id)->geometry()))
            << a.object_name << " / " << b.object_name;
      }
    }
  }
}

}  // namespace

namespace {

// Not a check: saves what the user sees, with and without /X, for people to look at
// (build/screenshots) and for the README.
TEST_F(MainDialogTest, SavesScreenshots) {
  QDir().mkpath(TAROVUE_BUILD_DIR "/screenshots");
  const char* hosts[] = {"scale-1", "scale-2", "tank-7", "belt-3"};
  const char* senders[] = {"10.77.0.2", "10.77.0.21", "10.77.0.22", "10.77.0.23"};
  for (bool all_commands : {false, true}) {
    auto dialog = MakeDialog(all_commands);
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->show();
    for (int i = 0; i < 4; ++i) Announce(*dialog, hosts[i], senders[i]);
    ClickRow(*dialog, 1);
    QCoreApplication::processEvents();
    const QString name = all_commands ? "dialog-all-commands.png" : "dialog.png";
    EXPECT_TRUE(dialog->grab().save(TAROVUE_BUILD_DIR "/screenshots/" + name));
  }
  // Three devices and no selection: Ping disabled, the fields showing "---".
  auto dialog = MakeDialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->show();
  for (int i = 0; i < 3; ++i) Announce(*dialog, hosts[i], senders[i]);
  QCoreApplication::processEvents();
  EXPECT_TRUE(dialog->grab().save(TAROVUE_BUILD_DIR "/screenshots/dialog-nothing-selected.png"));
}

}  // namespace
