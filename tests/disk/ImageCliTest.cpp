// pelmora-cli on a real NTFS disk in every container: the same partitions,
// rows and recovered files as from the raw disk, and 'verify'.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "support/CliRun.h"
#include "support/ImageTools.h"
#include "support/TestVolumes.h"

namespace {

class ImageCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || !ContainerToolsPresent()) return;
    dir = new TempDir;
    const std::string volume = dir->Path() + "/standard.img";
    disk = dir->Path() + "/disk.img";
    std::string log;
    if (RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + volume + " --manifest " + dir->Path() +
                       "/standard.tsv --set standard 2>&1 && python3 " + Tool("mkdisk.py") + " " + disk + " ntfs:" +
                       volume + " 2>&1",
                   &log) != 0) {
      ADD_FAILURE() << log;
    }
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "real volumes need root (mkntfs, ntfs-3g mount)";
    if (!ContainerToolsPresent()) GTEST_SKIP() << "needs qemu-img, ewfacquire and split";
  }

  static std::string Make(const ContainerKind& kind) {
    const std::string folder = dir->Path() + "/" + kind.name;
    std::filesystem::create_directory(folder);
    std::string log;
    const std::string path = MakeContainer(kind, disk, folder, &log);
    EXPECT_FALSE(path.empty()) << log;
    return path;
  }
  static std::string Line(const std::string& text, const std::string& start) {
    for (const std::string& line : Lines(text)) {
      if (line.rfind(start, 0) == 0) return line;
    }
    return "";
  }

  static TempDir* dir;
  static std::string disk;
};
TempDir* ImageCliTest::dir = nullptr;
std::string ImageCliTest::disk;

TEST_F(ImageCliTest, EveryContainerListsAndRecoversAsTheRawDisk) {
  const CliRun partitions = Cli({"partitions", disk}, dir->Path());
  const CliRun list = Cli({"list", disk, "--partition", "1", "--format", "csv"}, dir->Path());
  const CliRun verify = Cli({"verify", disk}, dir->Path());
  ASSERT_EQ(list.status, 0) << list.err;
  ASSERT_GT(Lines(list.out).size(), 20u);
  ASSERT_EQ(verify.status, 0) << verify.err;
  const std::string md5 = Line(verify.out, "MD5: ");
  const std::string rawTo = dir->Path() + "/from-raw";
  ASSERT_EQ(Cli({"recover", disk, "--partition", "1", "--to", rawTo, "--name", "*.bin"}, dir->Path()).status, 0);

  for (const ContainerKind& kind : ContainerKinds()) {
    SCOPED_TRACE(kind.name);
    const std::string image = Make(kind);
    const CliRun imagePartitions = Cli({"partitions", image}, dir->Path());
    EXPECT_EQ(imagePartitions.status, 0) << imagePartitions.err;
    EXPECT_EQ(imagePartitions.out, partitions.out);
    const CliRun imageList = Cli({"list", image, "--partition", "1", "--format", "csv"}, dir->Path());
    EXPECT_EQ(imageList.status, 0) << imageList.err;
    EXPECT_EQ(imageList.out, list.out);
    EXPECT_EQ(Line(imageList.err, "Deleted files:"), Line(list.err, "Deleted files:"));
    const CliRun imageVerify = Cli({"verify", image}, dir->Path());
    EXPECT_EQ(imageVerify.status, 0) << imageVerify.err;
    EXPECT_EQ(Line(imageVerify.out, "MD5: "), md5);
    if (kind.format == ImageFormat::Ewf) {
      EXPECT_EQ(Line(imageVerify.out, "Stored MD5: "), "Stored " + md5);
    }
    // What comes back from the image is what comes back from the raw disk.
    const std::string to = dir->Path() + "/from-" + kind.name;
    const CliRun recover = Cli({"recover", image, "--partition", "1", "--to", to, "--name", "*.bin"}, dir->Path());
    EXPECT_EQ(recover.status, 0) << recover.err;
    std::string differences;
    EXPECT_EQ(RunCommand("diff -r " + rawTo + " " + to + " 2>&1", &differences), 0) << differences;
  }
}

// verify fails when the disk's MD5 is not the stored one; a damaged
// container is named with what is wrong with it.
TEST_F(ImageCliTest, VerifyAndDamageAreReported) {
  const std::string ewf = Make(ContainerKinds()[4]);  // ewf-best, one segment
  ASSERT_EQ(std::string(ContainerKinds()[4].name), "ewf-best");
  const EwfSectionAt hash = EwfSection(ewf, "hash");
  ASSERT_NE(hash.at, 0u);
  std::vector<std::uint8_t> values = FileBytes(ewf, hash.at + 76, 36);
  values[0] ^= 1;
  const std::uint32_t checksum = static_cast<std::uint32_t>(adler32(1, values.data(), 32));
  for (int i = 0; i < 4; ++i) values[32 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
  PatchFile(ewf, hash.at + 76, values);
  const CliRun verify = Cli({"verify", ewf}, dir->Path());
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.err.find("the disk's MD5 is not the one stored"), std::string::npos) << verify.err;

  const std::string vhdx = Make(ContainerKinds()[3]);  // vhdx-dynamic
  PatchFile(vhdx, 0x10000 + 100, {0xEE});
  PatchFile(vhdx, 0x20000 + 100, {0xEE});
  const CliRun partitions = Cli({"partitions", vhdx}, dir->Path());
  EXPECT_EQ(partitions.status, 1);
  EXPECT_NE(partitions.err.find("both VHDX headers are damaged (neither checksum checks): "
                                "The disk structure is corrupted and unreadable."),
            std::string::npos)
      << partitions.err;
}

}  // namespace
