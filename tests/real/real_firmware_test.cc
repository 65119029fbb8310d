// SPDX-License-Identifier: GPL-2.0-or-later
// Debian's own firmware on the simulated board, for every release that
// tests/real/run (or scripts/try.sh) has fetched into the build tree with
// testing/debian-packages: every Rockchip device tree of the arm64 kernel as
// the machine's tree, every RK3399 U-Boot build of u-boot-rockchip that
// ships a TPL, installed, every file of those builds given to each option
// it is not for, and every RK3399 u-boot-rockchip-spi.bin, as the survey
// sees it. All judged without the tool's code: by the boot ROM model,
// fdtget, fdtput, dtc, mkimage, the board's log and plain byte comparisons
// with the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fixture/board.h"
#include "fixture/board_run.h"
#include "fixture/image_files.h"
#include "fixture/install_support.h"
#include "oracle/boot_rom_model.h"
#include "oracle/mkimage.h"

namespace duobl::testing {
namespace {

namespace fs = std::filesystem;

// One fetched release: DUOBL_DEBIAN_CACHE/SUITE-arm64/{u-boot,kernel}.
struct Release {
  std::string name;
  fs::path uboot;   // usr/lib/u-boot/ of u-boot-rockchip
  fs::path trees;   // the kernel's rockchip/ folder
  std::string packages;
};

std::vector<Release> fetched_releases() {
  std::vector<Release> releases;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(DUOBL_DEBIAN_CACHE, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 6 || name.compare(name.size() - 6, 6, "-arm64") != 0) continue;
    Release release{name.substr(0, name.size() - 6), entry.path() / "u-boot/usr/lib/u-boot", {}, {}};
    for (const auto& lib : fs::directory_iterator(entry.path() / "kernel/usr/lib", error)) {
      if (fs::is_directory(lib.path() / "rockchip")) release.trees = lib.path() / "rockchip";
    }
    if (!fs::is_directory(release.uboot) || release.trees.empty()) continue;
    release.packages = fs::read_symlink(entry.path() / "u-boot-rockchip", error).string() + ", " +
                       fs::read_symlink(entry.path() / "linux-image-arm64", error).string();
    releases.push_back(release);
  }
  std::sort(releases.begin(), releases.end(),
            [](const Release& a, const Release& b) { return a.name < b.name; });
  return releases;
}

#define REQUIRE_FETCHED(releases)                                                          \
  if ((releases).empty())                                                                  \
  GTEST_SKIP() << "no Debian firmware in " DUOBL_DEBIAN_CACHE " (tests/real/run fetches it)"

std::string quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Standard output of a shell command line, and whether it exited with 0.
struct Output {
  bool ok = false;
  std::string text;
};
Output run_command(const std::string& command) {
  Output output;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.text.append(buffer, n);
  }
  output.ok = pclose(pipe) == 0;
  while (!output.text.empty() && output.text.back() == '\n') output.text.pop_back();
  return output;
}

// A property of a device tree file as fdtget reads it: strings separated
// by blanks, a number in decimal.
std::string fdtget(const std::string& tree, const char* node, const char* property,
                   const char* type = "s") {
  const Output got = run_command("fdtget -t " + std::string(type) + " " + quoted(tree) + " " +
                                 node + " " + property);
  EXPECT_TRUE(got.ok) << "fdtget " << tree << " " << node << " " << property << ": "
                      << got.text << " (fdtget is in device-tree-compiler)";
  return got.ok ? got.text : std::string();
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::vector<fs::path> sorted_files(const fs::path& dir, const std::string& extension) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (entry.path().extension() == extension) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The boot ROM of every Rockchip SoC that Debian's arm64 kernel has trees
// for, named by the SoC that U-Boot makes boot images for on boards with
// that chip: the SoC support of arch/arm/mach-rockchip that such a board's
// defconfig selects, and so the name mkimage takes with -n
// (tools/rkcommon.c). The pairs share a die (Rockchip's datasheets): the
// RK3399Pro is an RK3399 beside an NPU in one package, the RK3566 the
// RK3568 die with less I/O, the RK3588S the RK3588 die in a smaller
// package; the kernel describes the RK3326 with px30.dtsi and the RK3318
// with rk3328.dtsi. A tree naming a SoC that is missing here fails the
// sweep.
struct SocRom {
  const char* soc;
  const char* rom;
};
constexpr SocRom kSocRoms[] = {
    {"px30", "px30"},     {"rk3326", "px30"},   {"rk3308", "rk3308"}, {"rk3318", "rk3328"},
    {"rk3328", "rk3328"}, {"rk3368", "rk3368"}, {"rk3399", "rk3399"}, {"rk3399pro", "rk3399"},
    {"rk3566", "rk3568"}, {"rk3568", "rk3568"}, {"rk3588", "rk3588"}, {"rk3588s", "rk3588"},
};

// Where each boot ROM the tool is built for looks for a boot header, in its
// order. Boards with any other boot ROM must be refused.
const std::vector<std::uint32_t> kRk3399Probes = {0,       8192,    16384,   32768,   65536,
                                                  131072,  262144,  524288,  1048576, 2097152,
                                                  4194304, 8388608, 16777216};
const std::vector<std::uint32_t> kRk35xxProbes = {0,      65536,  131072, 196608, 262144, 327680,
                                                  393216, 458752, 524288, 589824, 655360, 720896,
                                                  786432, 851968, 917504, 983040};
const std::vector<std::uint32_t>* probes_of_rom(const std::string& rom) {
  if (rom == "rk3399") return &kRk3399Probes;
  if (rom == "rk3568" || rom == "rk3588") return &kRk35xxProbes;
  return nullptr;
}

// The flash offsets of the 32-byte reads in a board log: the survey's look
// at each probe offset (a dry run on an erased chip reads nothing else).
std::vector<std::uint32_t> probe_reads(const std::string& log) {
  std::vector<std::uint32_t> offsets;
  for (std::size_t at = 0; at < log.size();) {
    const std::size_t end = std::min(log.find('\n', at), log.size());
    const std::vector<std::string> fields = words(log.substr(at, end - at));
    if (fields.size() == 4 && fields[0] == "read" && fields[2] == "32") {
      offsets.push_back(static_cast<std::uint32_t>(std::stoul(fields[1])));
    }
    at = end + 1;
  }
  return offsets;
}

TEST(RealFirmware, EveryRockchipKernelTreeNamesItsMachineOrIsRefused) {
  const std::vector<Release> releases = fetched_releases();
  REQUIRE_FETCHED(releases);
  for (const Release& release : releases) {
    SCOPED_TRACE(release.name);
    const std::vector<fs::path> trees = sorted_files(release.trees, ".dtb");
    ASSERT_FALSE(trees.empty()) << release.trees;
    std::map<std::string, int> served, refused;  // by the tree's SoC
    for (const fs::path& tree : trees) {
      SCOPED_TRACE(tree.filename().string());
      const std::vector<std::string> compatible = words(fdtget(tree, "/", "compatible"));
      ASSERT_FALSE(compatible.empty());
      // The SoC is the list's last, least specific entry.
      ASSERT_EQ(compatible.back().rfind("rockchip,", 0), 0u) << compatible.back();
      const std::string soc = compatible.back().substr(9);
      const auto fact = std::find_if(std::begin(kSocRoms), std::end(kSocRoms),
                                     [&](const SocRom& f) { return soc == f.soc; });
      if (fact == std::end(kSocRoms)) {
        ADD_FAILURE() << "no boot ROM known for the SoC " << soc << ": add it to kSocRoms";
        continue;
      }
      const std::vector<std::uint32_t>* probes = probes_of_rom(fact->rom);
      Board board;
      board.machine_tree = read_board_file(tree);
      // The first tree of each SoC on a chip that holds every probe offset
      // (the RK3399 ROM's last is 16 MiB), the others on a 4 MiB chip,
      // where the offsets whose 32 bytes would cross the end are not read.
      board.size_bytes = probes != nullptr && served[soc] == 0 ? 32 * kMiB : 4 * kMiB;
      const RunResult run = run_tool(board, {"--dry-run"});
      if (probes != nullptr) {
        ++served[soc];
        const std::string model = fdtget(tree, "/", "model");
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
                  "Machine: " + model + " (" + compatible[0] + ")\n");
        std::vector<std::uint32_t> inside;
        std::copy_if(probes->begin(), probes->end(), std::back_inserter(inside),
                     [&](std::uint32_t at) { return at + 32 <= board.size_bytes; });
        EXPECT_EQ(probe_reads(run.log), inside)
            << "probes of the " << fact->rom << " boot ROM on " << board.size_bytes << " bytes";
      } else {
        ++refused[soc];
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_EQ(run.out, "ERROR: Unsupported machine " + compatible[0] + "\n");
        EXPECT_EQ(run.log, "") << "a refused machine's flash is not opened";
      }
    }
    const auto counts = [](const std::map<std::string, int>& by_soc) {
      std::string text;
      for (const auto& [soc, count] : by_soc) text += " " + soc + " " + std::to_string(count);
      return text;
    };
    int served_trees = 0;
    for (const auto& entry : served) served_trees += entry.second;
    std::printf("[ real     ] %s (%s): %zu trees, %d served:%s; refused:%s\n", release.name.c_str(),
                release.packages.c_str(), trees.size(), served_trees, counts(served).c_str(),
                counts(refused).c_str());
  }
}

// A device tree header's big-endian 32-bit field at `p`.
std::size_t load_be32(const std::uint8_t* p) {
  return std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
}

// The device tree appended to a U-Boot SPL: the one whose header lies on a
// multiple of 8 and whose total size ends it where the file ends.
std::size_t appended_tree(const Bytes& spl) {
  for (std::size_t at = 0; at + 40 <= spl.size(); at += 8) {
    if (spl[at] != 0xd0 || spl[at + 1] != 0x0d || spl[at + 2] != 0xfe || spl[at + 3] != 0xed) {
      continue;
    }
    const std::size_t total = load_be32(&spl[at + 4]);
    if (at + total == spl.size()) return at;
  }
  return std::string::npos;
}

std::string dts_of(const Bytes& tree, const std::string& name) {
  const Output dts = run_command("dtc -q -I dtb -O dts " + quoted(write_temp_file(name, tree)));
  EXPECT_TRUE(dts.ok) << name << ": " << dts.text;
  return dts.text;
}

// The first line in which two texts differ, both versions, or nothing.
std::string first_difference(const std::string& got, const std::string& expected) {
  std::size_t line_start = 0;
  for (std::size_t i = 0;; ++i) {
    const bool got_end = i >= got.size();
    const bool expected_end = i >= expected.size();
    if (got_end && expected_end) return "";
    if (got_end || expected_end || got[i] != expected[i]) {
      const auto line_of = [&](const std::string& text) {
        return text.substr(line_start, text.find('\n', line_start) - line_start);
      };
      return "flashed \"" + line_of(got) + "\", expected \"" + line_of(expected) + "\"";
    }
    if (got[i] == '\n') line_start = i + 1;
  }
}

struct UBootBuild {
  std::string name;
  fs::path dir;
  Bytes tpl, spl, itb;      // the TPL is empty where the build has none
  std::size_t tree_at = 0;  // where the SPL's own tree begins
  std::string machine;      // its first compatible entry
  fs::path kernel_tree;     // the kernel's tree with that first entry
};

// The kernel's trees of a release by their first compatible entry.
std::map<std::string, fs::path> kernel_trees_by_machine(const Release& release) {
  std::map<std::string, fs::path> trees;
  for (const fs::path& tree : sorted_files(release.trees, ".dtb")) {
    const std::vector<std::string> compatible = words(fdtget(tree, "/", "compatible"));
    if (!compatible.empty()) trees.emplace(compatible[0], tree);
  }
  return trees;
}

// The release's RK3399 U-Boot builds that hold `file`, by name: an RK3399
// build is one whose SPL's own tree lists "rockchip,rk3399". `others` gets
// the names of the builds with that file for other SoCs.
std::vector<UBootBuild> rk3399_builds(const Release& release, const char* file,
                                      std::vector<std::string>* others = nullptr) {
  const std::map<std::string, fs::path> kernel_trees = kernel_trees_by_machine(release);
  std::vector<fs::path> dirs;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(release.uboot, error)) dirs.push_back(entry);
  std::sort(dirs.begin(), dirs.end());
  std::vector<UBootBuild> builds;
  for (const fs::path& dir : dirs) {
    if (!fs::exists(dir / file)) continue;
    SCOPED_TRACE(dir.filename().string());
    UBootBuild build;
    build.name = dir.filename().string();
    build.dir = dir;
    if (fs::exists(dir / "u-boot-tpl.bin")) build.tpl = read_board_file(dir / "u-boot-tpl.bin");
    build.spl = read_board_file(dir / "u-boot-spl.bin");
    build.itb = read_board_file(dir / "u-boot.itb");
    build.tree_at = appended_tree(build.spl);
    if (build.tree_at == std::string::npos) {
      ADD_FAILURE() << "no tree at the end of the SPL";
      continue;
    }
    const std::string tree = write_temp_file(
        "spl.dtb", range(build.spl, build.tree_at, build.spl.size() - build.tree_at));
    const std::vector<std::string> compatible = words(fdtget(tree, "/", "compatible"));
    if (std::find(compatible.begin(), compatible.end(), "rockchip,rk3399") == compatible.end()) {
      if (others != nullptr) others->push_back(build.name);
      continue;
    }
    build.machine = compatible[0];
    const auto board_tree = kernel_trees.find(build.machine);
    if (board_tree == kernel_trees.end()) {
      ADD_FAILURE() << "no kernel tree for " << build.machine;
      continue;
    }
    build.kernel_tree = board_tree->second;
    builds.push_back(build);
  }
  return builds;
}

// The rows of the survey printed in `out`, each split at its blanks: the
// six numbers, then the notes joined by single blanks.
struct SurveyRow {
  std::vector<std::string> numbers;
  std::string notes;
};
std::vector<SurveyRow> survey_rows(const std::string& out) {
  std::vector<SurveyRow> rows;
  const std::size_t heading = out.find("\nIdx Header ");
  if (heading == std::string::npos) return rows;
  std::size_t at = out.find('\n', out.find('\n', heading + 1) + 1) + 1;  // behind the hyphens
  while (at < out.size() && out[at] != '\n') {
    const std::size_t end = std::min(out.find('\n', at), out.size());
    std::vector<std::string> fields = words(out.substr(at, end - at));
    SurveyRow row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i < 6) {
        row.numbers.push_back(fields[i]);
      } else {
        row.notes += (i > 6 ? " " : "") + fields[i];
      }
    }
    rows.push_back(row);
    at = end + 1;
  }
  return rows;
}

std::vector<std::string> numbers(std::initializer_list<std::uint64_t> values) {
  std::vector<std::string> out;
  for (std::uint64_t value : values) out.push_back(std::to_string(value));
  return out;
}

// An erased 16 MiB chip that holds a bootable loader at 0, as an RK3399 set
// needs for its boot ROM to load it unpadded.
Bytes chip_with_loader() {
  Bytes chip(16 * kMiB, 0xFF);
  const Bytes loader = make_bootable_loader(RomFamily::Rk3399, 24);
  std::copy(loader.begin(), loader.end(), chip.begin());
  return chip;
}

// The SPL's tree as the install must leave it: the file's tree with the
// ITB's offset `b` stored by fdtput.
Bytes expected_spl_tree(const UBootBuild& build, std::uint32_t b) {
  const std::string path = write_temp_file(
      "expected.dtb", range(build.spl, build.tree_at, build.spl.size() - build.tree_at));
  EXPECT_TRUE(run_command("fdtput -p -t u " + quoted(path) + " /config u-boot,spl-payload-offset " +
                          std::to_string(b))
                  .ok);
  return read_board_file(path);
}

// The SPL as the install flashed it into the area at `a`: its code and the
// tree behind it, as long as that tree's header says.
Bytes flashed_spl(const UBootBuild& build, const Bytes& flash, std::uint32_t a) {
  const std::size_t at = a + 2048u + round_2048(build.tpl.size()) + build.tree_at;
  return range(flash, at - build.tree_at, build.tree_at + load_be32(flash.data() + at + 4));
}

// The flash after installing `build` into the SPL area at `a` of `a_bytes`
// and the ITB area at `b` of `before`, judged by the boot ROM model and
// against the files.
void judge_install(const UBootBuild& build, const Bytes& before, const Bytes& flash,
                   std::uint32_t a, std::uint32_t a_bytes, std::uint32_t b) {
  const std::vector<RomHeader> headers = rom_scan(RomFamily::Rk3399, flash);
  const auto found =
      std::find_if(headers.begin(), headers.end(), [&](const RomHeader& h) { return h.at == a; });
  ASSERT_NE(found, headers.end()) << "no header at " << a;
  const RomHeader& header = *found;
  ASSERT_EQ(header.images.size(), 2u);
  const RomImage& tpl = header.images[0];
  const RomImage& spl = header.images[1];
  const std::uint32_t tpl_bytes = round_2048(build.tpl.size());
  EXPECT_EQ(tpl.offset_bytes, a + 2048u);
  ASSERT_EQ(tpl.length_bytes, tpl_bytes);
  ASSERT_EQ(spl.offset_bytes, a + 2048u + tpl_bytes);
  ASSERT_LE(spl.offset_bytes + spl.length_bytes, a + a_bytes);

  // The TPL as the file holds it, behind its RK33 mark, then erased bytes.
  Bytes marked = build.tpl;
  std::memcpy(marked.data(), "RK33", 4);
  EXPECT_EQ(range(flash, tpl.offset_bytes, marked.size()), marked);
  EXPECT_TRUE(all_bytes(flash, tpl.offset_bytes + marked.size(), tpl_bytes - marked.size(), 0xFF));

  // The SPL's code as the file holds it, then its tree, which must be the
  // file's tree with the ITB's offset stored, then erased bytes.
  const std::size_t code = build.tree_at;
  EXPECT_EQ(range(flash, spl.offset_bytes, code), range(build.spl, 0, code));
  const std::uint8_t* tree = flash.data() + spl.offset_bytes + code;
  const std::size_t tree_bytes = load_be32(tree + 4);
  ASSERT_LE(code + tree_bytes, spl.length_bytes);
  const Bytes flashed = range(flash, spl.offset_bytes + code, tree_bytes);
  const std::string flashed_path = write_temp_file("flashed.dtb", flashed);
  EXPECT_EQ(fdtget(flashed_path, "/config", "u-boot,spl-payload-offset", "u"), std::to_string(b));
  EXPECT_EQ(first_difference(dts_of(flashed, "flashed.dtb"),
                             dts_of(expected_spl_tree(build, b), "expected.dtb")),
            "");
  EXPECT_TRUE(all_bytes(flash, spl.offset_bytes + code + tree_bytes,
                        spl.length_bytes - code - tree_bytes, 0xFF));

  // The ITB as the file holds it; nothing else changed.
  EXPECT_EQ(range(flash, b, build.itb.size()), build.itb);
  EXPECT_TRUE(unchanged_outside(
      flash, before, {{a, spl.offset_bytes + spl.length_bytes - a}, {b, build.itb.size()}}))
      << "bytes written outside the set";
}

std::vector<std::string> set_args(const UBootBuild& build, bool fallback) {
  std::vector<std::string> args = {"--uboot-tpl", (build.dir / "u-boot-tpl.bin").string(),
                                   "--uboot-spl", (build.dir / "u-boot-spl.bin").string(),
                                   "--uboot-itb", (build.dir / "u-boot.itb").string()};
  if (fallback) args.push_back("--replace-fallback");
  return args;
}

// The RK3399 builds of a release that ship a TPL, of which there must be
// some.
std::vector<UBootBuild> rk3399_builds_with_a_tpl(const Release& release) {
  std::vector<UBootBuild> builds = rk3399_builds(release, "u-boot-tpl.bin");
  EXPECT_FALSE(builds.empty()) << "no RK3399 U-Boot build with a TPL";
  return builds;
}

TEST(RealFirmware, EveryRk3399UBootBuildWithATplInstallsAndIsRefusedElsewhere) {
  const std::vector<Release> releases = fetched_releases();
  REQUIRE_FETCHED(releases);
  const Bytes chip = chip_with_loader();
  for (const Release& release : releases) {
    SCOPED_TRACE(release.name);
    const std::vector<UBootBuild> builds = rk3399_builds_with_a_tpl(release);
    std::string names;
    for (std::size_t i = 0; i < builds.size(); ++i) {
      const UBootBuild& build = builds[i];
      SCOPED_TRACE(build.name);
      names += " " + build.name + " (" + build.kernel_tree.filename().string() + ")";
      Board board;
      board.machine_tree = read_board_file(build.kernel_tree);
      board.flash = chip;

      // Into the primary areas, and the survey shows the set where the
      // files put it: the header at the area, the TPL behind its 2 KiB
      // header block, the SPL (with the ITB's offset in its tree) behind
      // the TPL, each rounded up to 2 KiB, and both named.
      const RunResult primary = run_tool(board, set_args(build, false));
      ASSERT_EQ(primary.status, 0) << primary.out;
      judge_install(build, chip, primary.flash, kSplPrimaryOffset, kSplPrimaryBytes,
                    kItbPrimaryOffset);
      Board installed = board;
      installed.flash = primary.flash;
      const RunResult report = run_tool(installed, {"--dry-run"});
      const std::uint32_t a = kSplPrimaryOffset;
      const std::uint32_t tpl = round_2048(build.tpl.size());
      const std::uint32_t spl =
          round_2048(build.tree_at + expected_spl_tree(build, kItbPrimaryOffset).size());
      const std::vector<SurveyRow> rows = survey_rows(report.out);
      const auto row = std::find_if(rows.begin(), rows.end(), [&](const SurveyRow& r) {
        return r.numbers.size() == 6 && r.numbers[1] == std::to_string(a);
      });
      ASSERT_NE(row, rows.end()) << report.out;
      const auto index =
          std::find(kRk3399Probes.begin(), kRk3399Probes.end(), a) - kRk3399Probes.begin();
      EXPECT_EQ(row->numbers,
                numbers({static_cast<std::uint64_t>(index), a, a + 2048, tpl, a + 2048 + tpl, spl}))
          << report.out;
      EXPECT_EQ(row->notes, "0='U-Boot TPL' 1='U-Boot SPL'") << report.out;

      // Into the fallback areas of a fresh chip.
      const RunResult fallback = run_tool(board, set_args(build, true));
      ASSERT_EQ(fallback.status, 0) << fallback.out;
      judge_install(build, chip, fallback.flash, kSplFallbackOffset, kSplFallbackBytes,
                    kItbFallbackOffset);

      // On the next build's board the set is refused for that board, though
      // the chip holds a loader, and nothing changes.
      const UBootBuild& other = builds[(i + 1) % builds.size()];
      ASSERT_NE(other.machine, build.machine);
      installed.machine_tree = read_board_file(other.kernel_tree);
      const RunResult refused = run_tool(installed, set_args(build, false));
      EXPECT_EQ(refused.status, 1);
      EXPECT_NE(refused.out.find("\nERROR: Machine type doesn't match U-Boot DTB you're trying "
                                 "to flash\n"),
                std::string::npos)
          << refused.out;
      EXPECT_EQ(refused.flash, primary.flash);
    }
    std::printf("[ real     ] %s (%s): %zu RK3399 U-Boot builds with a TPL:%s\n",
                release.name.c_str(), release.packages.c_str(), builds.size(), names.c_str());
  }
}

TEST(RealFirmware, EveryRk3399UBootBuildWithATplIsFlashedAsMkimageBuildsIt) {
  const std::vector<Release> releases = fetched_releases();
  REQUIRE_FETCHED(releases);
  if (!have_mkimage()) GTEST_SKIP() << kNoMkimage;
  const Bytes chip = chip_with_loader();
  for (const Release& release : releases) {
    SCOPED_TRACE(release.name);
    const std::vector<UBootBuild> builds = rk3399_builds_with_a_tpl(release);
    int compared = 0;
    for (const UBootBuild& build : builds) {
      SCOPED_TRACE(build.name);
      Board board;
      board.machine_tree = read_board_file(build.kernel_tree);
      board.flash = chip;
      for (const bool fallback : {false, true}) {
        SCOPED_TRACE(fallback ? "fallback" : "primary");
        const RunResult run = run_tool(board, set_args(build, fallback));
        ASSERT_EQ(run.status, 0) << run.out;
        const std::uint32_t a = fallback ? kSplFallbackOffset : kSplPrimaryOffset;
        const Bytes spl = flashed_spl(build, run.flash, a);
        const MkimageResult image =
            mkimage_rockchip("rk3399", "rksd",
                             {write_temp_file("mkimage-tpl.bin", build.tpl),
                              write_temp_file("mkimage-spl.bin", spl)});
        ASSERT_TRUE(image.ok) << image.output;
        // The header block, the TPL's own bytes and the SPL's own bytes.
        // mkimage fills the rest of each one's last 2 KiB sector with zeros
        // where the tool leaves it erased: the boot ROM loads those bytes
        // with the sector, but they lie past the end of the stage's image,
        // where nothing of the stage is, so they are not compared.
        const std::size_t spl_at = 2048 + round_2048(build.tpl.size());
        ASSERT_GE(image.image.size(), spl_at + spl.size());
        EXPECT_EQ(range(run.flash, a, 2048), range(image.image, 0, 2048)) << "header block";
        EXPECT_EQ(range(run.flash, a + 2048, build.tpl.size()),
                  range(image.image, 2048, build.tpl.size()))
            << "TPL";
        EXPECT_EQ(range(run.flash, a + spl_at, spl.size()),
                  range(image.image, spl_at, spl.size()))
            << "SPL";
        ++compared;
      }
    }
    std::printf("[ real     ] %s: %d RK3399 U-Boot installs equal to mkimage's rksd images\n",
                release.name.c_str(), compared);
  }
}

TEST(RealFirmware, TheSurveySeesEveryRk3399SpiImageAtOffsetZero) {
  const std::vector<Release> releases = fetched_releases();
  REQUIRE_FETCHED(releases);
  int surveyed = 0;
  for (const Release& release : releases) {
    SCOPED_TRACE(release.name);
    std::vector<std::string> others;
    const std::vector<UBootBuild> builds =
        rk3399_builds(release, "u-boot-rockchip-spi.bin", &others);
    if (builds.empty()) {
      std::printf("[ real     ] %s (%s): no RK3399 u-boot-rockchip-spi.bin in this release\n",
                  release.name.c_str(), release.packages.c_str());
      continue;
    }
    std::string not_rk3399;
    for (const std::string& name : others) not_rk3399 += " " + name;
    std::printf("[ real     ] %s (%s): %zu RK3399 u-boot-rockchip-spi.bin (not RK3399:%s):\n",
                release.name.c_str(), release.packages.c_str(), builds.size(), not_rk3399.c_str());
    for (const UBootBuild& build : builds) {
      SCOPED_TRACE(build.name);
      const Bytes image = read_board_file(build.dir / "u-boot-rockchip-spi.bin");
      // The image is laid out for the boot ROM reading SPI flash padded:
      // a 4 KiB header block, then the TPL and then the SPL, every 2 KiB
      // of them followed by 2 KiB of zeros. Where the SPL file's first
      // 2 KiB lie tells how long the TPL is stored.
      std::size_t spl_at = 4096;
      while (spl_at + 2048 <= image.size() &&
             range(image, spl_at, 2048) != range(build.spl, 0, 2048)) {
        spl_at += 4096;
      }
      ASSERT_LE(spl_at + 2048, image.size()) << "the SPL is not in the image";
      const std::uint32_t tpl = static_cast<std::uint32_t>((spl_at - 4096) / 2);
      if (!build.tpl.empty()) {
        EXPECT_EQ(tpl, round_2048(build.tpl.size()));
      }
      const std::uint32_t spl = round_2048(build.spl.size());

      Board board;
      board.machine_tree = read_board_file(build.kernel_tree);
      board.flash->assign(16 * kMiB, 0xFF);
      std::copy(image.begin(), image.end(), board.flash->begin());
      const RunResult run = run_tool(board, {"--dry-run"});
      const std::vector<SurveyRow> rows = survey_rows(run.out);
      ASSERT_EQ(rows.size(), 1u) << run.out;
      // The header gives both images as if stored unpadded: the TPL at
      // 2 KiB, the SPL behind it, their sizes as the boot ROM counts them.
      // The survey names each from the bytes that boot ROM reads of a
      // padded header (the first 2 KiB of every 4 KiB), so it finds the TPL
      // and then the SPL, not the stored TPL's second half.
      EXPECT_EQ(rows[0].numbers, numbers({0, 0, 2048, tpl, 2048 + tpl, spl})) << run.out;
      EXPECT_EQ(rows[0].notes, "(padded) 0='U-Boot TPL' 1='U-Boot SPL'") << run.out;
      std::string printed;
      for (const std::string& number : rows[0].numbers) printed += number + " ";
      std::printf("[ real     ]   %s on %s: %s%s\n", build.name.c_str(),
                  build.kernel_tree.filename().string().c_str(), printed.c_str(),
                  rows[0].notes.c_str());
      ++surveyed;
    }
  }
  if (surveyed == 0) {
    GTEST_SKIP() << "no fetched release ships an RK3399 u-boot-rockchip-spi.bin";
  }
}

// --- Every file of a build where it does not belong ---------------------------

// The options that take a file, and the file of a build that each one is
// for (none of Debian's files is a duobl loader or an image for --spl).
enum class Slot { Duobl, Spl, UbootTpl, UbootSpl, UbootItb };
struct SlotFact {
  Slot slot;
  const char* option;
  const char* own;
};
constexpr SlotFact kSlots[] = {
    {Slot::Duobl, "--duobl", nullptr},
    {Slot::Spl, "--spl", nullptr},
    {Slot::UbootTpl, "--uboot-tpl", "u-boot-tpl.bin"},
    {Slot::UbootSpl, "--uboot-spl", "u-boot-spl.bin"},
    {Slot::UbootItb, "--uboot-itb", "u-boot.itb"},
};

const char* option_of(Slot slot) {
  for (const SlotFact& fact : kSlots) {
    if (fact.slot == slot) return fact.option;
  }
  return "";
}

// The lines of the size and tree checks made before the checks of what a
// file is, which do not name the file.
constexpr const char* kUnnamingLines[] = {
    "ERROR: duobl size is weird",
    "ERROR: SPL is too big",
    "ERROR: SPL is too small",
    "ERROR: Failed to find U-Boot SPL DTB",
    "ERROR: Failed to read machine tupe from U-Boot SPL DTB",
    "ERROR: Machine type doesn't match U-Boot DTB you're trying to flash",
    "ERROR: U-Boot is too big",
    "ERROR: SPL+DTB is too big",
};

bool names_no_file(const std::string& line) {
  return std::find(std::begin(kUnnamingLines), std::end(kUnnamingLines), line) !=
         std::end(kUnnamingLines);
}

// The arguments that give `path` to the option of `slot`, with the build's
// own files in the other two options of a U-Boot set.
std::vector<std::string> slot_args(const UBootBuild& build, Slot slot, const std::string& path) {
  if (slot == Slot::Duobl) return {"--duobl", path};
  if (slot == Slot::Spl) return {"--spl", path};
  std::vector<std::string> args = set_args(build, false);
  args[slot == Slot::UbootTpl ? 1 : slot == Slot::UbootSpl ? 3 : 5] = path;
  return args;
}

// The image nodes of a FIT, as fdtget lists them.
std::vector<std::string> fit_images(const fs::path& fit) {
  const Output listed = run_command("fdtget -l " + quoted(fit) + " /images");
  EXPECT_TRUE(listed.ok) << fit << ": " << listed.text;
  return listed.ok ? lines_of(listed.text) : std::vector<std::string>();
}

// Where the furthest data of a FIT's images ends, as fdtget reads their
// data-position, or data-offset from the end of the tree (its header's
// total size, rounded up to 4), and data-size; 0 when no image has data
// outside the tree.
std::size_t fit_data_end(const fs::path& fit, const Bytes& bytes) {
  const std::vector<std::string> images = fit_images(fit);
  std::string command = "fdtget -t u -d - " + quoted(fit);
  for (const std::string& image : images) {
    for (const char* property : {"data-position", "data-offset", "data-size"}) {
      command += " " + quoted("/images/" + image) + " " + property;
    }
  }
  const Output values = run_command(command);
  const std::vector<std::string> cells = lines_of(values.text);
  EXPECT_TRUE(values.ok && cells.size() == 3 * images.size()) << fit << ": " << values.text;
  if (!values.ok || cells.size() != 3 * images.size() || bytes.size() < 8) return 0;
  const std::size_t external = (load_be32(bytes.data() + 4) + 3) / 4 * 4;
  std::size_t furthest = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::string& position = cells[3 * i];
    const std::string& offset = cells[3 * i + 1];
    const std::string& size = cells[3 * i + 2];
    if (size == "-" || (position == "-" && offset == "-")) continue;
    const std::size_t start =
        position != "-" ? std::stoul(position) : external + std::stoul(offset);
    furthest = std::max(furthest, start + std::stoul(size));
  }
  return furthest;
}

// One run of the matrix: `path` given to the option of `slot`.
struct WrongFile {
  Slot slot;
  std::string path;
  std::string label;  // the file as a failure names it
};

// A build as the matrix takes it.
struct MatrixBuild {
  std::string tag;  // release and build: unique among the temporary files
  const UBootBuild* build = nullptr;
  std::vector<fs::path> files;  // every file of its folder
  std::size_t itb_data_end = 0;
};

std::string first_bytes_file(const MatrixBuild& b, const char* name, const Bytes& bytes,
                             std::size_t keep) {
  return write_temp_file(b.tag + "-" + name, range(bytes, 0, keep));
}

// The kinds of wrong file, each with the runs it makes of one build.
struct WrongFileKind {
  const char* name;
  std::vector<WrongFile> (*runs)(const MatrixBuild&);
};
const WrongFileKind kWrongFileKinds[] = {
    {"every file of the folder in every option it is not for",
     [](const MatrixBuild& b) {
       std::vector<WrongFile> runs;
       for (const fs::path& file : b.files) {
         for (const SlotFact& slot : kSlots) {
           if (slot.own == nullptr || file.filename() != slot.own) {
             runs.push_back({slot.slot, file.string(), file.filename().string()});
           }
         }
       }
       return runs;
     }},
    {"an empty file in each option",
     [](const MatrixBuild& b) {
       std::vector<WrongFile> runs;
       const std::string empty = write_temp_file(b.tag + "-empty", {});
       for (const SlotFact& slot : kSlots) runs.push_back({slot.slot, empty, "empty file"});
       return runs;
     }},
    {"the build's own file cut to half its size",
     [](const MatrixBuild& b) {
       const UBootBuild& build = *b.build;
       return std::vector<WrongFile>{
           {Slot::UbootTpl, first_bytes_file(b, "tpl-half", build.tpl, build.tpl.size() / 2),
            "half TPL"},
           {Slot::UbootSpl, first_bytes_file(b, "spl-half", build.spl, build.spl.size() / 2),
            "half SPL"},
           {Slot::UbootItb, first_bytes_file(b, "itb-half", build.itb, build.itb.size() / 2),
            "half ITB"},
       };
     }},
    {"the SPL cut by 1 byte inside the device tree that ends it",
     [](const MatrixBuild& b) {
       const UBootBuild& build = *b.build;
       return std::vector<WrongFile>{
           {Slot::UbootSpl, first_bytes_file(b, "spl-cut", build.spl, build.spl.size() - 1),
            "SPL cut by 1 byte"}};
     }},
    {"the ITB cut by 1 byte inside the furthest data of its images",
     [](const MatrixBuild& b) {
       const UBootBuild& build = *b.build;
       EXPECT_GT(b.itb_data_end, 0u) << "no image data behind the ITB's tree";
       EXPECT_LE(b.itb_data_end, build.itb.size()) << "image data past the ITB's end";
       if (b.itb_data_end == 0 || b.itb_data_end > build.itb.size()) {
         return std::vector<WrongFile>{};
       }
       return std::vector<WrongFile>{
           {Slot::UbootItb, first_bytes_file(b, "itb-cut", build.itb, b.itb_data_end - 1),
            "ITB cut inside its data"}};
     }},
};

// What is wrong with a run that must be refused, or nothing: it ends with
// status 1, its output is the dry run's report and one ERROR line, which
// names `path` unless it is one of the lines that name no file, and the
// flash is as it was.
std::string refusal_fault(const RunResult& run, const std::string& report, const Bytes& before,
                          const std::string& path) {
  if (run.status != 1) return "status " + std::to_string(run.status) + ":\n" + run.out;
  if (run.out.compare(0, report.size(), report) != 0) {
    return "the output does not begin with the dry run's report:\n" + run.out;
  }
  const std::string rest = run.out.substr(report.size());
  if (rest.rfind("ERROR: ", 0) != 0 || rest.find('\n') != rest.size() - 1) {
    return "not one ERROR line behind the report: \"" + rest + "\"";
  }
  const std::string error = rest.substr(0, rest.size() - 1);
  if (!names_no_file(error) && error.find(" " + path + " ") == std::string::npos) {
    return "the line does not name " + path + ": " + error;
  }
  if (!run.err.empty()) return "standard error: " + run.err;
  if (run.flash != before) return "the flash changed";
  return "";
}

TEST(RealFirmware, EveryFileOfAnRk3399BuildIsRefusedWhereItDoesNotBelong) {
  const std::vector<Release> releases = fetched_releases();
  REQUIRE_FETCHED(releases);
  // A 4 MiB chip, whose ITB area (1600 KiB) holds every ITB Debian ships;
  // the loader keeps the RK3399 refusal of a set without one out of the way.
  Bytes chip = chip_with_loader();
  chip.resize(4 * kMiB);
  for (const Release& release : releases) {
    SCOPED_TRACE(release.name);
    int runs = 0, refused = 0, unnamed = 0;
    std::string accepted, padded;
    for (const UBootBuild& build : rk3399_builds_with_a_tpl(release)) {
      SCOPED_TRACE(build.name);
      MatrixBuild b{release.name + "-" + build.name, &build, {}, 0};
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(build.dir, error)) {
        if (entry.is_regular_file()) b.files.push_back(entry.path());
      }
      std::sort(b.files.begin(), b.files.end());
      // Bytes behind the data that a FIT describes can be cut off unnoticed.
      b.itb_data_end = fit_data_end(build.dir / "u-boot.itb", build.itb);
      const Bytes img = read_board_file(build.dir / "u-boot.img");
      const std::size_t img_data_end = fit_data_end(build.dir / "u-boot.img", img);
      if (b.itb_data_end < build.itb.size()) {
        padded += " " + build.name + "/u-boot.itb (" +
                  std::to_string(build.itb.size() - b.itb_data_end) + " bytes)";
      }
      if (img_data_end < img.size()) {
        padded += " " + build.name + "/u-boot.img (" +
                  std::to_string(img.size() - img_data_end) + " bytes)";
      }

      Board board;
      board.machine_tree = read_board_file(build.kernel_tree);
      board.flash = chip;
      const RunResult dry = run_tool(board, {"--dry-run"});
      ASSERT_EQ(dry.status, 0) << dry.out;
      const std::size_t itb_row = dry.out.find("\nitb primary ") + 1;
      ASSERT_NE(itb_row, 0u) << dry.out;
      const std::uint32_t itb_at = static_cast<std::uint32_t>(
          std::stoul(words(dry.out.substr(itb_row, dry.out.find('\n', itb_row) - itb_row))[2]));

      for (const WrongFileKind& kind : kWrongFileKinds) {
        SCOPED_TRACE(kind.name);
        for (const WrongFile& given : kind.runs(b)) {
          const char* option = option_of(given.slot);
          SCOPED_TRACE(given.label + " as " + option);
          const RunResult run = run_tool(board, slot_args(build, given.slot, given.path));
          ++runs;
          if (given.slot == Slot::UbootItb && given.label == "u-boot.img") {
            // U-Boot proper and its tree in a FIT, without the secure
            // firmware: no check of the file tells it from an ITB, and the
            // set goes in with it in the ITB area.
            ASSERT_EQ(run.status, 0) << run.out;
            EXPECT_EQ(range(run.flash, itb_at, img.size()), img);
            EXPECT_TRUE(unchanged_outside(
                run.flash, chip, {{kSplPrimaryOffset, kSplPrimaryBytes}, {itb_at, img.size()}}));
            std::string images;
            for (const std::string& image : fit_images(build.dir / "u-boot.img")) {
              images += " " + image;
            }
            accepted += " " + build.name + "/u-boot.img as --uboot-itb (at " +
                        std::to_string(itb_at) + ", images" + images + ")";
            continue;
          }
          EXPECT_EQ(refusal_fault(run, dry.out, chip, given.path), "");
          refused += run.status == 1;
          const std::vector<std::string> lines = lines_of(run.out);
          unnamed += !lines.empty() && names_no_file(lines.back());
        }
      }
    }
    std::printf("[ real     ] %s: %d runs of files where they do not belong, %d refused (%d by a "
                "size or tree line that names no file); accepted:%s; padding behind the data a "
                "FIT describes:%s\n",
                release.name.c_str(), runs, refused, unnamed, accepted.c_str(),
                padded.empty() ? " none" : padded.c_str());
  }
}

}  // namespace
}  // namespace duobl::testing
