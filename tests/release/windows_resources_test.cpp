// What Windows reads from the released vlfwu.exe before it runs it: the version information
// that Explorer's Properties show, in the banner's words and with the project's version, and
// the application manifest that asks for no elevation. Read back from the program in the zip
// by binutils' resource compiler, which prints an executable's resources as a resource script.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/child_process.h"

namespace {

using vlfwu_test::ChildProcess;

const std::string kZip = VLFWU_WINDOWS_ZIP;
const std::string kWindres = VLFWU_WINDRES;
const std::string kFolder = "vlfwu-" VLFWU_VERSION "-win64";

// Runs program with arguments in folder; its output, or "" with a failure when it fails.
std::string run(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& folder) {
  ChildProcess child;
  ChildProcess::Options options;
  options.workingDirectory = folder;
  EXPECT_TRUE(child.start(program, arguments, {}, options)) << child.error();
  const ChildProcess::Result result = child.wait(60000);
  EXPECT_TRUE(result.exited && result.exitCode == 0) << program << ": " << result.output;
  return result.output;
}

// The text of one resource-script string ("..." with "" for a quote and C escapes).
std::string unquote(const std::string& quoted) {
  std::string text;
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    if (quoted[i] == '"' && quoted[i + 1] == '"') {
      text += '"';
      ++i;
    } else if (quoted[i] == '\\' && i + 2 < quoted.size()) {
      const char escaped = quoted[++i];
      text += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t' : escaped;
    } else {
      text += quoted[i];
    }
  }
  return text;
}

std::string trimmed(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  const std::size_t last = line.find_last_not_of(" \t\r");
  return first == std::string::npos ? "" : line.substr(first, last - first + 1);
}

// The resource script that windres prints for an executable, line by line.
class ResourceScript {
 public:
  explicit ResourceScript(const std::string& text) {
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
      lines_.push_back(trimmed(line));
    }
  }

  // How many lines are exactly line.
  int count(const std::string& line) const {
    int n = 0;
    for (const std::string& each : lines_) {
      n += each == line;
    }
    return n;
  }

  // The string of the version block's line VALUE "key", "..."; "(none)" if there is none.
  std::string versionValue(const std::string& key) const {
    const std::string start = "VALUE \"" + key + "\", ";
    for (const std::string& line : lines_) {
      if (line.rfind(start, 0) == 0) {
        return unquote(line.substr(start.size()));
      }
    }
    return "(none)";
  }

  // The data of the resource whose header line is header: its quoted lines between BEGIN
  // and END, joined.
  std::string data(const std::string& header) const {
    std::string text;
    std::size_t i = 0;
    while (i < lines_.size() && lines_[i] != header) {
      ++i;
    }
    if (i + 1 >= lines_.size() || lines_[i + 1] != "BEGIN") {
      return text;
    }
    for (i += 2; i < lines_.size() && lines_[i] != "END"; ++i) {
      text += unquote(lines_[i]);
    }
    return text;
  }

 private:
  std::vector<std::string> lines_;
};

// "2.4" gives "2, 4, 0, 0": the four numbers of a binary version field.
std::string fourPartVersion(const std::string& version) {
  std::vector<std::string> parts;
  std::istringstream stream(version);
  for (std::string part; std::getline(stream, part, '.');) {
    parts.push_back(part);
  }
  parts.resize(4, "0");
  return parts[0] + ", " + parts[1] + ", " + parts[2] + ", " + parts[3];
}

// The values of attribute in every element named element of xml.
std::multiset<std::string> attributeValues(const std::string& xml, const std::string& element,
                                           const std::string& attribute) {
  std::multiset<std::string> values;
  const std::string open = "<" + element + " ";
  for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const std::string tag = xml.substr(at, xml.find('>', at) - at);
    const std::size_t value = tag.find(" " + attribute + "=\"");
    if (value == std::string::npos) {
      values.insert("(no " + attribute + ")");
      continue;
    }
    const std::size_t begin = value + attribute.size() + 3;
    values.insert(tag.substr(begin, tag.find('"', begin) - begin));
  }
  return values;
}

class WindowsResources : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kZip.empty()) {
      GTEST_SKIP() << "no Windows release archive (configure with -DVLFWU_WINDOWS_ZIP=path/to/zip)";
    }
    ASSERT_TRUE(std::filesystem::exists(kZip)) << kZip;
    ASSERT_FALSE(kWindres.empty()) << "x86_64-w64-mingw32-windres was not found when configuring";
    // A folder of its own: ctest runs these tests side by side, and each unpacks the zip.
    const std::string folder = std::string(VLFWU_BIN_DIR) + "/../release-resources-test-" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    run(VLFWU_CMAKE, {"-E", "tar", "xf", std::filesystem::absolute(kZip).string()}, folder);
    script_ = run(kWindres, {"--input-format=coff", "--output-format=rc", "--input",
                             folder + "/" + kFolder + "/vlfwu.exe"},
                  folder);
  }

  std::string script_;
};

TEST_F(WindowsResources, VersionInformationStatesTheBannersWordsAndTheProjectsVersion) {
  const ResourceScript resources(script_);
  ASSERT_EQ(resources.count("1 VERSIONINFO"), 1) << script_;
  EXPECT_EQ(resources.count("FILEVERSION " + fourPartVersion(VLFWU_VERSION)), 1) << script_;
  EXPECT_EQ(resources.count("PRODUCTVERSION " + fourPartVersion(VLFWU_VERSION)), 1) << script_;
  // U.S. English, Unicode: the strings' block and the translation that points Explorer to it.
  EXPECT_EQ(resources.count("BLOCK \"040904B0\""), 1) << script_;
  EXPECT_EQ(resources.count("VALUE \"Translation\", 0x409, 1200"), 1) << script_;

  EXPECT_EQ(resources.versionValue("FileVersion"), VLFWU_VERSION);
  EXPECT_EQ(resources.versionValue("ProductVersion"), VLFWU_VERSION);
  // As the banner says them: "Valtrane / Omrix firmware update utility. Version 2.4", then
  // the legal notice.
  EXPECT_EQ(resources.versionValue("ProductName"), "Valtrane / Omrix firmware update utility");
  EXPECT_EQ(resources.versionValue("FileDescription"), "Valtrane / Omrix firmware update utility");
  EXPECT_EQ(resources.versionValue("CompanyName"), "Valtrane Audio");
  EXPECT_EQ(resources.versionValue("LegalCopyright"),
            "Copyright (c) Valtrane Audio. All rights reserved. For use with Valtrane products only.");
  EXPECT_EQ(resources.versionValue("OriginalFilename"), "vlfwu.exe");
  EXPECT_EQ(resources.versionValue("InternalName"), "vlfwu");
}

TEST_F(WindowsResources, ManifestAsksToRunAsTheInvokerOnWindows7To11) {
  const ResourceScript resources(script_);
  // Resource 1 of type RT_MANIFEST, the one the loader reads for a program; and only one, so
  // no toolchain default stands beside it.
  ASSERT_EQ(resources.count("1 24 /* RT_MANIFEST */"), 1) << script_;
  int manifests = 0;
  for (std::size_t at = script_.find("/* RT_MANIFEST */"); at != std::string::npos;
       at = script_.find("/* RT_MANIFEST */", at + 1)) {
    ++manifests;
  }
  EXPECT_EQ(manifests, 1) << script_;

  const std::string manifest = resources.data("1 24 /* RT_MANIFEST */");
  EXPECT_EQ(manifest.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n", 0), 0u)
      << manifest;
  EXPECT_EQ(attributeValues(manifest, "assembly", "manifestVersion"), (std::multiset<std::string>{"1.0"}))
      << manifest;
  EXPECT_EQ(attributeValues(manifest, "assemblyIdentity", "version"),
            (std::multiset<std::string>{std::string(VLFWU_VERSION) + ".0.0"}))
      << manifest;
  EXPECT_EQ(attributeValues(manifest, "trustInfo", "xmlns"),
            (std::multiset<std::string>{"urn:schemas-microsoft-com:asm.v3"}))
      << manifest;
  EXPECT_EQ(attributeValues(manifest, "requestedExecutionLevel", "level"),
            (std::multiset<std::string>{"asInvoker"}))
      << manifest;
  EXPECT_EQ(attributeValues(manifest, "compatibility", "xmlns"),
            (std::multiset<std::string>{"urn:schemas-microsoft-com:compatibility.v1"}))
      << manifest;
  EXPECT_EQ(attributeValues(manifest, "supportedOS", "Id"),
            (std::multiset<std::string>{
                "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
            }))
      << manifest;
  EXPECT_TRUE(manifest.ends_with("</assembly>\n")) << manifest;
}

}  // namespace
