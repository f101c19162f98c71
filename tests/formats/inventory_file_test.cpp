// Inventory files on disk: what --save writes reads back the same, replaces the old file
// atomically with mode 0644, and every unreadable baseline gives a one-line reason.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "formats/inventory_file.h"
#include "formats/time_text.h"

namespace {

class InventoryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tarovue-inventory-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + m_dir + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string Path(const std::string& name) const { return m_dir + "/" + name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name)) << text;
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    DIR* dir = opendir(m_dir.c_str());
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.' || std::string(entry->d_name).size() > 2) {
        names.push_back(entry->d_name);
      }
    }
    closedir(dir);
    return names;
  }
  // LoadInventory's reason for the file `name`, which must fail.
  std::string Failure(const std::string& name) const {
    std::vector<InventoryDevice> devices;
    std::string error;
    EXPECT_FALSE(LoadInventory(Path(name), devices, error));
    EXPECT_TRUE(devices.empty());
    return error;
  }

  std::string m_dir;
};

TEST_F(InventoryFileTest, SavedInventoryReadsBackAndReplacesTheOldFile) {
  const std::vector<InventoryDevice> devices = {
      {"uuid:1", "10.0.0.1", "hall \"A\"", "IND-1", "IND-1", "100", "S1", "g1", "http://h/"},
      {"uuid:2", "10.0.0.2", "yard", "", "", "", "S2", "", ""}};
  Write("inv.json", "old");
  std::string error;
  ASSERT_TRUE(SaveInventory(Path("inv.json"), devices, 1'700'000'000, error)) << error;
  EXPECT_EQ(Files(), std::vector<std::string>{"inv.json"}) << "no temporary file is left";
  struct stat status {};
  ASSERT_EQ(stat(Path("inv.json").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);

  std::vector<InventoryDevice> read;
  ASSERT_TRUE(LoadInventory(Path("inv.json"), read, error)) << error;
  EXPECT_EQ(read, devices);

  std::ifstream file(Path("inv.json"));
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
  EXPECT_EQ(root["format"].toString(), "tarovue-inventory");
  EXPECT_EQ(root["version"].toInt(), 1);
  EXPECT_TRUE(root["saved"].toString().startsWith("2023-11-1")) << text;
}

TEST(InventoryDocument, IsLaidOutAsQtsIndentedDocuments) {
  // Files saved before the one JSON writer came from Qt: the bytes stay the same, so a file
  // kept under version control does not change for nothing.
  const std::vector<InventoryDevice> devices = {
      {"uuid:1", "10.0.0.1", "hall \"A\" \xC3\xBC", "IND-1", "IND-1", "100", "S1", "g1",
       "http://h/"},
      {"uuid:2", "10.0.0.2", "yard", "", "", "", "S2", "", ""}};
  for (const auto& list : {devices, std::vector<InventoryDevice>{}}) {
    QJsonArray array;
    for (const InventoryDevice& d : list) {
      array.append(QJsonObject{{"usn", QString::fromStdString(d.usn)},
                               {"address", QString::fromStdString(d.address)},
                               {"hostname", QString::fromStdString(d.host_name)},
                               {"devtype", QString::fromStdString(d.device_type)},
                               {"model_name", QString::fromStdString(d.model_name)},
                               {"model_number", QString::fromStdString(d.model_number)},
                               {"serial_number", QString::fromStdString(d.serial_number)},
                               {"guid", QString::fromStdString(d.guid)},
                               {"page_url", QString::fromStdString(d.page_url)}});
    }
    const QJsonObject root{{"format", "tarovue-inventory"},
                           {"version", 1},
                           {"saved", QString::fromStdString(LocalTimeText(1'700'000'000))},
                           {"devices", array}};
    EXPECT_EQ(InventoryDocument(list, 1'700'000'000),
              QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString());
  }
}

TEST_F(InventoryFileTest, UnreadableBaselinesSayWhy) {
  EXPECT_NE(Failure("absent.json").find("No such file"), std::string::npos);
  Write("cut.json", "{\"format\": \"tarovue-inventory\", \"devices\": [");
  EXPECT_NE(Failure("cut.json").find("is not valid JSON: "), std::string::npos);
  EXPECT_NE(Failure("cut.json").find(" at offset 44"), std::string::npos) << Failure("cut.json");
  Write("foreign.json", "[1, 2]");
  EXPECT_NE(Failure("foreign.json").find("is not a tarovue-inventory document"), std::string::npos);
  Write("v2.json", R"({"format": "tarovue-inventory", "version": 2, "devices": []})");
  EXPECT_NE(Failure("v2.json").find("is not of inventory version 1"), std::string::npos);
  Write("nousn.json",
        R"({"format": "tarovue-inventory", "version": 1, "devices": [{"address": "1.2.3.4"}]})");
  EXPECT_NE(Failure("nousn.json").find("a device without a usn"), std::string::npos);
}

TEST_F(InventoryFileTest, SaveIntoMissingDirectoryFailsAndLeavesNothing) {
  std::string error;
  EXPECT_FALSE(SaveInventory(Path("none/inv.json"), {}, 0, error));
  EXPECT_NE(error.find("cannot create a file in"), std::string::npos) << error;
  EXPECT_TRUE(Files().empty());
}

}  // namespace
