#include "memory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

namespace kelvo {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

TEST(MemoryGuard, RequestAgainstAvailableWithMargin) {
    const struct {
        uint64_t request, available;
        bool fits;
    } cases[] = {
        // An eighth of what is available stays free.
        {14 * kGiB, 16 * kGiB, true},
        {14 * kGiB + 1, 16 * kGiB, false},
        {16 * kGiB, 16 * kGiB, false},
        {0, 16 * kGiB, true},
        // Below 2 GiB the 256 MiB floor is the margin.
        {768 * kMiB, 1 * kGiB, true},
        {768 * kMiB + 1, 1 * kGiB, false},
        {1792 * kMiB, 2 * kGiB, true},
        {1792 * kMiB + 1, 2 * kGiB, false},
        // Less than the floor available: nothing fits.
        {0, 256 * kMiB, true},
        {1, 256 * kMiB, false},
        {0, 100 * kMiB, false},
        {1, 0, false},
        // No wrap-around at the ends of the range.
        {UINT64_MAX, UINT64_MAX, false},
        {UINT64_MAX - UINT64_MAX / 8, UINT64_MAX, true},
        {UINT64_MAX, 16 * kGiB, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fits_in_memory(c.request, c.available), c.fits)
            << c.request << " of " << c.available;
    }
}

// MemAvailable as an independent reader sees it.
uint64_t mem_available_from_stream() {
    std::ifstream in("/proc/meminfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        uint64_t kib = 0;
        if (fields >> key >> kib && key == "MemAvailable:") return kib * 1024;
    }
    return 0;
}

TEST(MemoryGuard, ReadsTheMemoryAvailableNowAndRefusesWhatCannotFit) {
    const uint64_t available = available_memory_bytes();
    EXPECT_THROW(require_memory(available, "x"), MemoryShortage);
    EXPECT_THROW(require_memory(UINT64_MAX, "x"), MemoryShortage);
    EXPECT_THROW(require_memory(uint64_t{1} << 40, uint64_t{1} << 40, "x"), MemoryShortage);
    EXPECT_THROW(require_memory(available / 8, 16, "x"), MemoryShortage);
    EXPECT_NO_THROW(require_memory(kUncheckedRequestBytes, "x"));
    EXPECT_NO_THROW(require_memory(kUncheckedRequestBytes / 8, 8, "x"));
    EXPECT_NO_THROW(require_memory(0, UINT64_MAX, "x"));

    const uint64_t system = mem_available_from_stream();
    if (system == 0) GTEST_SKIP() << "no MemAvailable on this system";
    // The smaller of the system's figure and the cgroups'; other processes allocate between
    // the reads.
    const uint64_t expected = std::min(system, cgroup_memory_headroom_bytes().value_or(UINT64_MAX));
    EXPECT_NEAR(static_cast<double>(available), static_cast<double>(expected),
                0.05 * static_cast<double>(expected));
    EXPECT_LE(available, physical_memory_bytes());
    EXPECT_LT(usable_memory_bytes(), available);
}

// Growing leaves new elements as they come (no zero-filling pass); values given are kept, what
// is written stays, and shrinking keeps a buffer where it is.
TEST(UninitializedVector, HoldsWhatIsWrittenAndShrinksInPlace) {
    for (const uint64_t size : {uint64_t{100}, uint64_t{5} << 20}) {
        UninitializedVector<uint8_t> v;
        v.resize(size);
        for (uint64_t i = 0; i < size; i += 997)
            v[i] = static_cast<uint8_t>(i);
        v.back() = 7;
        const uint8_t* data = v.data();
        v.resize(size / 2);
        EXPECT_EQ(v.data(), data);
        for (uint64_t i = 0; i < size / 2; i += 997)
            ASSERT_EQ(v[i], static_cast<uint8_t>(i));
        UninitializedVector<double> d(size / 8, 1.5);
        EXPECT_EQ(d.front(), 1.5);
        EXPECT_EQ(d.back(), 1.5);
    }
    UninitializedVector<uint8_t> huge;
    EXPECT_THROW(huge.resize(SIZE_MAX - 100), std::exception);
}

// The limit of the process's own memory cgroup where it sits at the usual place, as an
// independent reader sees it.
std::optional<uint64_t> own_cgroup_limit() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        std::string file;
        if (line.starts_with("0::/")) file = "/sys/fs/cgroup" + line.substr(3) + "/memory.max";
        const size_t at = line.find(":memory:");
        if (at != std::string::npos)
            file = "/sys/fs/cgroup/memory" + line.substr(at + 8) + "/memory.limit_in_bytes";
        uint64_t limit = 0;
        if (!file.empty() && std::ifstream(file) >> limit) return limit;
    }
    return std::nullopt;
}

TEST(MemoryGuard, ReadsTheLimitOfItsOwnCgroup) {
    const std::optional<uint64_t> limit = own_cgroup_limit();
    if (!limit) GTEST_SKIP() << "no memory cgroup limit file at the usual place";
    const std::optional<uint64_t> headroom = cgroup_memory_headroom_bytes();
    ASSERT_TRUE(headroom.has_value());
    EXPECT_LE(*headroom, *limit);
}

using detail::CgroupLevel;

TEST(MemoryGuard, FindsTheMemoryCgroupLevelsOfTheProcess) {
    constexpr std::string_view kMountinfo =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const struct {
        std::string_view cgroup, mountinfo;
        std::vector<CgroupLevel> levels;
    } cases[] = {
        // cgroup v2 alone, nested: every level up to the mount point.
        {"0::/user.slice/app.scope\n",
         "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n",
         {{"/sys/fs/cgroup/user.slice/app.scope", true},
          {"/sys/fs/cgroup/user.slice", true},
          {"/sys/fs/cgroup", true}}},
        // A container with its own cgroup namespace sees its cgroup as "/".
        {"0::/\n",
         "30 23 0:26 / /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n",
         {{"/sys/fs/cgroup", true}}},
        // Hybrid: v1 memory hierarchy, and a v2 one without controllers (both are looked at;
        // the v2 levels have no memory files).
        {"9:name=systemd:/\n8:pids:/\n4:memory:/process_api/36658\n0::/\n",
         kMountinfo,
         {{"/sys/fs/cgroup/memory/process_api/36658", false},
          {"/sys/fs/cgroup/memory/process_api", false},
          {"/sys/fs/cgroup/memory", false},
          {"/sys/fs/cgroup/unified", true}}},
        // v1 with joined controllers, a trailing slash, and a mount whose root is the
        // container's cgroup (no cgroup namespace): the path is taken relative to that root.
        {"5:cpuacct,memory,cpu:/docker/abc/\n",
         "35 31 0:32 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,cpu,memory\n",
         {{"/sys/fs/cgroup/memory", false}}},
        {"5:memory:/docker/abc/job\n",
         "35 31 0:32 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
         {{"/sys/fs/cgroup/memory/job", false}, {"/sys/fs/cgroup/memory", false}}},
        // A path outside the mount's root falls back to the mount point; escaped spaces.
        {"5:memory:/elsewhere\n",
         "35 31 0:32 /docker/abc /sys/fs/cgroup/my\\040memory rw - cgroup cgroup rw,memory\n",
         {{"/sys/fs/cgroup/my memory", false}}},
        // Nothing to go by: no memory controller, no mount, garbage.
        {"4:cpu:/a\n", kMountinfo, {}},
        {"0::/a\n", "22 1 0:21 / /proc rw - proc proc rw\n", {}},
        {"garbage\n4:memory\n4:memory:relative\n", kMountinfo, {}},
        {"", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail::cgroup_memory_levels(c.cgroup, c.mountinfo), c.levels) << c.cgroup;
    }
}

TEST(MemoryGuard, CgroupLevelLeavesItsLimitMinusItsWorkingSet) {
    constexpr std::string_view kStatV2 =
        "anon 1000\nfile 5000\nactive_file 1000\ninactive_file 3000\ninactive_anon 7\n";
    constexpr std::string_view kStatV1 =
        "cache 5000\ninactive_file 100\nhierarchical_memory_limit 9223372036854771712\n"
        "total_inactive_file 3000\n";
    const struct {
        std::string_view limit, usage, stat;
        bool v2;
        std::optional<uint64_t> headroom;
    } cases[] = {
        {"10000\n", "6000\n", kStatV2, true, 7000},
        {"max\n", "6000\n", kStatV2, true, std::nullopt},
        {"10000\n", "6000\n", "", true, 4000},  // no memory.stat: all usage counts
        {"10000\n", "12000\n", "inactive_file 1000\n", true, 0},
        {"10000\n", "2000\n", "inactive_file 9000\n", true, 10000},
        // v1: the hierarchical figure first; "no limit" is a huge number, left as it is.
        {"10000\n", "6000\n", kStatV1, false, 7000},
        {"10000\n", "6000\n", "inactive_file 100\n", false, 4100},
        {"9223372036854771712\n", "0\n", kStatV1, false, uint64_t{9223372036854771712u}},
        // Files that do not parse say nothing.
        {"", "6000\n", kStatV2, true, std::nullopt},
        {"10000\n", "", kStatV2, true, std::nullopt},
        {"10k\n", "6000\n", kStatV2, true, std::nullopt},
        {"99999999999999999999\n", "1\n", kStatV2, true, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail::cgroup_level_headroom(c.limit, c.usage, c.stat, c.v2), c.headroom)
            << c.limit << " " << c.usage << " " << c.stat;
    }
}

TEST(MemoryGuard, ARefusalSaysWhatItNeededAndWhatWasAvailable) {
    const MemoryShortage shortage("the sample records", 3 * kGiB / 2, 1 * kGiB);
    EXPECT_STREQ(shortage.what(),
                 "not enough memory for the sample records: 1.50 GiB needed, 768 MiB available "
                 "(1.00 GiB free less 256 MiB kept free)");
    const std::pair<uint64_t, const char*> sizes[] = {
        {0, "0 bytes"},          {1, "1 byte"},
        {1023, "1023 bytes"},    {1024, "1.00 KiB"},
        {1536, "1.50 KiB"},      {1023 * kMiB, "1023 MiB"},
        {15 * kGiB, "15.0 GiB"}, {UINT64_MAX, "16.0 EiB"},
    };
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(format_bytes(bytes), text);
    try {
        require_memory(UINT64_MAX / 2, "a huge table");
        FAIL();
    } catch (const std::bad_alloc& e) {
        EXPECT_TRUE(std::string_view(e.what()).starts_with(
            "not enough memory for a huge table: 8.00 EiB needed, "));
    }
}

// A process moved into another cgroup after an earlier look is measured against the new one.
TEST(MemoryGuard, FindsTheProcessCgroupAgainOnEveryLook) {
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("kelvo_cgroup_" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    const auto write = [](const std::filesystem::path& path, std::string_view text) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    };
    const std::string proc_cgroup = (root / "proc_cgroup").string();
    const std::string mountinfo = (root / "mountinfo").string();
    const std::filesystem::path mount = root / "fs";
    write(mountinfo, "30 23 0:26 / " + mount.string() + " rw - cgroup2 cgroup2 rw\n");
    write(mount / "big" / "memory.max", "4294967296\n");
    write(mount / "big" / "memory.current", "1073741824\n");
    write(mount / "small" / "memory.max", "1073741824\n");
    write(mount / "small" / "memory.current", "104857600\n");
    write(mount / "small" / "memory.stat", "inactive_file 4857600\n");

    write(proc_cgroup, "0::/big\n");
    EXPECT_EQ(detail::cgroup_memory_headroom_bytes(proc_cgroup.c_str(), mountinfo.c_str()),
              3 * kGiB);
    write(proc_cgroup, "0::/small\n");
    EXPECT_EQ(detail::cgroup_memory_headroom_bytes(proc_cgroup.c_str(), mountinfo.c_str()),
              kGiB - 100'000'000);
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace kelvo
