#include "mesh_io/side_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace vertisift::mesh_io {
namespace {

// A model folder `models/` holding the model, a side file beside it, one below it and links,
// and a file `secret.mtl` beside the folder, outside it.
class SideFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = ::testing::TempDir() + "vertisift_side_XXXXXX";
    ASSERT_NE(::mkdtemp(root.data()), nullptr);
    root_ = root;
    const std::string models = root_ + "/models";
    ASSERT_EQ(::mkdir(models.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((models + "/sub").c_str(), 0700), 0);
    write(models + "/model.obj", "v 0 0 0\n");
    write(models + "/beside.mtl", "beside");
    write(models + "/sub/inner.mtl", "inner");
    write(root_ + "/secret.mtl", "secret");
    ASSERT_EQ(::symlink("sub/inner.mtl", (models + "/to_inner.mtl").c_str()), 0);
    ASSERT_EQ(::symlink("../secret.mtl", (models + "/to_secret.mtl").c_str()), 0);
    ASSERT_EQ(::symlink(root_.c_str(), (models + "/to_root").c_str()), 0);
    model_ = models + "/model.obj";
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + root_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  static void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  std::string root_;
  PathText model_;
};

std::string read_all(FileStream& stream) {
  std::string bytes(64, '\0');
  auto got = stream.read(reinterpret_cast<std::byte*>(bytes.data()), bytes.size());
  EXPECT_TRUE(got.ok());
  bytes.resize(got.ok() ? got.value() : 0);
  return bytes;
}

struct Opened {
  const char* name;
  const char* bytes;
};

class SideFilesOpen : public SideFilesTest, public ::testing::WithParamInterface<Opened> {};

// Beside the model, below it, through a link that stays in the folder, and with "." steps.
TEST_P(SideFilesOpen, OpensTheFileInTheModelsFolder) {
  FolderSideFiles side_files(model_);
  auto opened = side_files.open(GetParam().name);
  ASSERT_TRUE(opened.ok()) << opened.error().display();
  EXPECT_EQ(read_all(opened.value()), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Inside, SideFilesOpen,
                         ::testing::Values(Opened{"beside.mtl", "beside"},
                                           Opened{"sub/inner.mtl", "inner"},
                                           Opened{"./sub//inner.mtl", "inner"},
                                           Opened{"to_inner.mtl", "inner"}));

struct Refusal {
  std::string_view name;
  const char* message;
};

class SideFilesRefuse : public SideFilesTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(SideFilesRefuse, RefusesWithOneLine) {
  FolderSideFiles side_files(model_);
  auto opened = side_files.open(GetParam().name);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind, ReadErrorKind::InvalidData);
  EXPECT_EQ(opened.error().display(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Outside, SideFilesRefuse,
    ::testing::Values(
        Refusal{"", "side file \"\": no name"},
        Refusal{std::string_view("beside.mtl\0x", 12),
                "side file \"beside.mtl\\x00x\": a NUL byte in the name"},
        Refusal{"/etc/passwd",
                "side file \"/etc/passwd\": an absolute path, not one in the "
                "model's folder"},
        Refusal{"../secret.mtl",
                "side file \"../secret.mtl\": a \"..\" in the path, which "
                "leaves the model's folder"},
        Refusal{"sub/../beside.mtl",
                "side file \"sub/../beside.mtl\": a \"..\" in the path, "
                "which leaves the model's folder"},
        Refusal{"sub/..",
                "side file \"sub/..\": a \"..\" in the path, which leaves the "
                "model's folder"},
        Refusal{"https://example.com/a.png",
                "side file \"https://example.com/a.png\": a URL, not a file in the model's "
                "folder"},
        // A scheme of every character one may hold past its first letter.
        Refusal{"x+y-z.9://beside.mtl",
                "side file \"x+y-z.9://beside.mtl\": a URL, not a file in the model's folder"},
        Refusal{"DATA:image/png;base64,AAAA",
                "side file \"DATA:image/png;base64,AAAA\": a URL, not a file in the model's "
                "folder"},
        Refusal{"to_secret.mtl",
                "side file \"to_secret.mtl\": a link to a file outside the model's folder"},
        Refusal{"to_root/secret.mtl",
                "side file \"to_root/secret.mtl\": a link to a file outside the model's "
                "folder"}));

// Names that only look like the refused ones are files like any other.
TEST_F(SideFilesTest, TakesNamesThatOnlyResembleRefusedOnes) {
  write(root_ + "/models/..mtl", "dots");
  write(root_ + "/models/data.mtl", "data");
  // "://" after what cannot be a scheme ("_" is no scheme's character): a folder "a_:".
  std::filesystem::create_directories(root_ + "/models/a_:");
  write(root_ + "/models/a_:/x.mtl", "colon");
  FolderSideFiles side_files(model_);
  for (const auto& [name, bytes] : {std::pair{"..mtl", "dots"}, std::pair{"data.mtl", "data"},
                                    std::pair{"a_://x.mtl", "colon"}}) {
    auto opened = side_files.open(name);
    ASSERT_TRUE(opened.ok()) << name << ": " << opened.error().display();
    EXPECT_EQ(read_all(opened.value()), bytes);
  }
}

// A missing side file is the system's error, as a missing model is.
TEST_F(SideFilesTest, MissingFileIsTheSystemsError) {
  FolderSideFiles side_files(model_);
  auto opened = side_files.open("absent.mtl");
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind, ReadErrorKind::Os);
  EXPECT_EQ(opened.error().os_code, ENOENT);
}

}  // namespace
}  // namespace vertisift::mesh_io
