// Protects what a device may make the operator's desktop open: only web pages, and telnet only
// on a plain address.
#include "ui/shell.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "tests/support/recording_shell.h"
#include "tests/support/trace_recorder.h"

namespace {

TEST(IsWebAddress, AcceptsHttpAndHttpsInAnyLetterCase) {
  EXPECT_TRUE(IsWebAddress("http://10.0.0.7/"));
  EXPECT_TRUE(IsWebAddress("https://10.0.0.7:8443/index.html?a=1&b=2#top"));
  EXPECT_TRUE(IsWebAddress("HTTP://10.0.0.7/"));
  EXPECT_TRUE(IsWebAddress("Https://scale-1.local/"));
}

TEST(IsWebAddress, RefusesOtherSchemesAndLookAlikes) {
  for (const char* url :
       {"", "file:///etc/passwd", "javascript:alert(1)", "ftp://10.0.0.7/", "http:10.0.0.7",
        "http:/10.0.0.7/", "http://", "https://", "httpx://10.0.0.7/", " http://10.0.0.7/",
        "/usr/bin/xterm", "10.0.0.7/", "data:text/html,<b>x</b>", "smb://host/share"}) {
    EXPECT_FALSE(IsWebAddress(url)) << url;
  }
}

TEST(IsWebAddress, RefusesSpacesControlAndNonAsciiBytes) {
  for (const char* url : {"http://10.0.0.7/a b", "http://10.0.0.7/\t", "http://10.0.0.7/\n",
                          "http://10.0.0.7/\x7f", "http://10.0.0.7/\xe9"}) {
    EXPECT_FALSE(IsWebAddress(url)) << url;
  }
  EXPECT_FALSE(IsWebAddress(std::string_view("http://10.0.0.7/\0x", 18)));
}

TEST(IsWebAddress, LengthLimitIsThePageAddressPlusBackupPage) {
  std::string page = "http://10.0.0.7/";
  page.append(255 - 16, 'a');
  ASSERT_EQ(page.size(), 255u);
  EXPECT_TRUE(IsWebAddress(BackupAddress(page)));
  EXPECT_FALSE(IsWebAddress(BackupAddress(page + "a")));
  EXPECT_FALSE(IsWebAddress(std::string("http://").append(10'000, 'a')));
}

TEST(BrowserUrl, OpensWhatABrowserOpensAndStillOnlyWebPages) {
  struct Case {
    const char* url;
    const char* opened;  // nullptr: refused
  };
  for (const Case& c : {
           Case{"http://10.0.0.7/a|b{c}^d", "http://10.0.0.7/a%7Cb%7Bc%7D%5Ed"},
           Case{"http://10.0.0.7/%zz?q=100%", "http://10.0.0.7/%25zz?q=100%25"},
           Case{"HTTPS://Scale-1.local:8443/", "https://scale-1.local:8443/"},
           Case{"http://10.0.0.7/a%20b", "http://10.0.0.7/a%20b"},
           Case{"http:///index.html", nullptr},
           Case{"http://[10.0.0.7/", nullptr},
           Case{"http://10.0.0.7:99999/", nullptr},
           Case{"file:///etc/passwd", nullptr},
           Case{"http://10.0.0.7/a b", nullptr},
       }) {
    const QUrl url = BrowserUrl(c.url);
    if (c.opened == nullptr) {
      EXPECT_FALSE(url.isValid()) << c.url;
    } else {
      EXPECT_EQ(url.toEncoded().toStdString(), c.opened) << c.url;
    }
  }
}

TEST(BackupAddress, AppendsWithoutInsertingASlash) {
  EXPECT_EQ(BackupAddress("http://10.0.0.7/"), "http://10.0.0.7/backup.html");
  EXPECT_EQ(BackupAddress("http://10.0.0.7"), "http://10.0.0.7backup.html");
}

TEST(IsDottedAddress, OnlyFourNumbersUpTo255) {
  for (const char* text : {"0.0.0.0", "10.0.0.7", "255.255.255.255", "192.168.100.9"}) {
    EXPECT_TRUE(IsDottedAddress(text)) << text;
  }
  for (const char* text :
       {"", "10.0.0", "10.0.0.7.1", "256.0.0.1", "10.0.0.7 ", "-l root", "10..0.7", ".10.0.0.7",
        "10.0.0.", "010.0.0.7", "1000.0.0.1", "0x0a.0.0.7", "10.0.0.7;id", "scale-1"}) {
    EXPECT_FALSE(IsDottedAddress(text)) << text;
  }
}

TEST(OpenWebAddress, OpensWebPagesOnly) {
  TraceRecorder trace;
  RecordingShell shell;
  EXPECT_TRUE(OpenWebAddress(shell, "http://10.0.0.7/"));
  EXPECT_FALSE(OpenWebAddress(shell, ""));
  EXPECT_FALSE(OpenWebAddress(shell, "file:///etc/passwd"));
  EXPECT_FALSE(OpenWebAddress(shell, "javascript:alert(1)"));
  ASSERT_EQ(shell.urls.size(), 1u);
  EXPECT_EQ(shell.urls[0], "http://10.0.0.7/");
  EXPECT_TRUE(shell.files.empty());
  // An empty address is the ordinary "no page" case and stays silent; the others are traced.
  EXPECT_EQ(trace.CountStartingWith("OpenWebAddress: not a web address, ignored: "), 2);
  EXPECT_TRUE(trace.Has("OpenWebAddress: not a web address, ignored: file:///etc/passwd"));
}

TEST(OpenWebAddress, TraceLineCannotCarryControlBytes) {
  TraceRecorder trace;
  RecordingShell shell;
  EXPECT_FALSE(OpenWebAddress(shell, "x\nforged line\x1b[2J"));
  EXPECT_TRUE(trace.Has("OpenWebAddress: not a web address, ignored: x?forged line?[2J"));
  EXPECT_TRUE(shell.Empty());
}

// A PATH of one directory holding empty executables of the given names, and TERMINAL as
// given; both are put back afterwards.
class FakePath {
 public:
  FakePath(std::initializer_list<const char*> programs, const char* terminal = nullptr)
      : m_path(qgetenv("PATH")), m_terminal(qgetenv("TERMINAL")) {
    for (const char* name : programs) {
      QFile file(Program(name));
      file.open(QIODevice::WriteOnly);
      file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    }
    qputenv("PATH", m_dir.path().toLocal8Bit());
    if (terminal) {
      qputenv("TERMINAL", terminal);
    } else {
      qunsetenv("TERMINAL");
    }
  }
  ~FakePath() {
    qputenv("PATH", m_path);
    qputenv("TERMINAL", m_terminal);
  }
  [[nodiscard]] QString Program(const char* name) const { return m_dir.filePath(name); }

 private:
  QTemporaryDir m_dir;
  QByteArray m_path;
  QByteArray m_terminal;
};

TEST(FindTelnetLaunch, TriesTerminalThenTheCommonTerminalsInOrder) {
  struct Case {
    std::initializer_list<const char*> programs;
    const char* terminal;
    const char* chosen;
    const char* run_option;
  };
  for (const Case& c : {
           Case{{"xterm", "xfce4-terminal", "konsole", "gnome-terminal", "x-terminal-emulator",
                 "mine", "telnet"},
                "mine",
                "mine",
                "-e"},
           Case{{"xterm", "konsole", "gnome-terminal", "x-terminal-emulator", "telnet"},
                "not-installed",
                "x-terminal-emulator",
                "-e"},
           Case{{"xterm", "xfce4-terminal", "konsole", "gnome-terminal", "telnet"},
                nullptr,
                "gnome-terminal",
                "--"},
           Case{{"xterm", "xfce4-terminal", "konsole", "telnet"}, nullptr, "konsole", "-e"},
           Case{{"xterm", "xfce4-terminal", "telnet"}, nullptr, "xfce4-terminal", "-x"},
           Case{{"xterm", "telnet"}, nullptr, "xterm", "-e"},
       }) {
    FakePath path(c.programs, c.terminal);
    const TelnetLaunch launch = FindTelnetLaunch("10.0.0.7");
    EXPECT_EQ(launch.program, path.Program(c.chosen)) << c.chosen;
    EXPECT_EQ(launch.arguments, (QStringList{c.run_option, path.Program("telnet"), "10.0.0.7"}))
        << c.chosen;
    EXPECT_EQ(launch.missing, "") << c.chosen;
  }
}

TEST(FindTelnetLaunch, SaysWhichIsMissingAndTheShellTellsTheOperator) {
  std::vector<std::string> told;
  DesktopShell shell([&](const std::string& text) { told.push_back(text); });
  {
    FakePath path({"xterm"});
    shell.StartTelnet("10.0.0.7");
  }
  {
    FakePath path({"telnet"}, "not-installed");
    shell.StartTelnet("10.0.0.7");
  }
  {
    FakePath path({});
    EXPECT_TRUE(FindTelnetLaunch("10.0.0.7").program.isEmpty());
    shell.StartTelnet("10.0.0.7");
    shell.StartTelnet("-l root");  // refused before anything is looked for
  }
  ASSERT_EQ(told.size(), 3u);
  EXPECT_EQ(told[0],
            "Telnet needs a telnet client, but no program \"telnet\" was found: install telnet.");
  EXPECT_EQ(told[1].rfind("Telnet needs a terminal, but none was found: set TERMINAL", 0), 0u);
  EXPECT_EQ(told[2], told[1] + "\n" + told[0]);
}

}  // namespace
