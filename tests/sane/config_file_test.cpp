// bbescl.conf: where it is looked up and how its lines read.
#include "config_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using bbescl::config_dirs;
using Dirs = std::vector<std::string>;

namespace {

TEST(ConfigDirs, FollowSaneConfigDirRules) {
  const Dirs defaults{"/usr/local/etc/sane.d", "/etc/sane.d"};
  struct Row {
    const char *env;
    Dirs dirs;
  };
  const std::vector<Row> rows = {
      {nullptr, defaults},
      {"", defaults},
      {"/tmp/a", {"/tmp/a"}},
      {"/tmp/a:/tmp/b", {"/tmp/a", "/tmp/b"}},
      {"/tmp/a:", {"/tmp/a", "/usr/local/etc/sane.d", "/etc/sane.d"}},  // a trailing colon adds the defaults
      {"/tmp/a::/tmp/a:/etc/sane.d:", {"/tmp/a", "/etc/sane.d", "/usr/local/etc/sane.d"}},
  };
  for (const Row &r : rows) EXPECT_EQ(config_dirs(r.env, defaults), r.dirs) << (r.env ? r.env : "(unset)");
}

TEST(ParseDeviceUris, TakesOneUriALineAndSkipsComments) {
  const std::string text =
      "# scanners\n"
      "http://10.0.0.5:80/\r\n"
      "\n"
      "   \t\n"
      "  # indented comment\n"
      "  http://127.0.0.1:8080/eSCL  \n"
      "http://last.example/";
  EXPECT_EQ(bbescl::parse_device_uris(text),
            (Dirs{"http://10.0.0.5:80/", "http://127.0.0.1:8080/eSCL", "http://last.example/"}));
  EXPECT_TRUE(bbescl::parse_device_uris("").empty());
  EXPECT_TRUE(bbescl::parse_device_uris("# only\n#comments\n").empty());
}

TEST(ReadConfiguredUris, UsesTheFirstDirectoryThatHasTheFile) {
  char pattern[] = "/tmp/bbescl-config-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path root(pattern);
  std::filesystem::create_directories(root / "empty");
  std::filesystem::create_directories(root / "first");
  std::filesystem::create_directories(root / "second");
  std::ofstream(root / "first" / "bbescl.conf") << "http://first/\n";
  std::ofstream(root / "second" / "bbescl.conf") << "http://second/\n";

  EXPECT_EQ(bbescl::read_configured_uris({root / "empty", root / "first", root / "second"}), Dirs{"http://first/"});
  EXPECT_TRUE(bbescl::read_configured_uris({root / "empty"}).empty());
  std::filesystem::remove_all(root);
}

}  // namespace
