#include "memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

namespace {

constexpr uint64_t kMinMarginBytes = uint64_t{256} << 20;

uint64_t query_physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    uint64_t bytes = 0;
    if (pages <= 0 || page_size <= 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size),
                               &bytes)) {
        return uint64_t{16} << 30;
    }
    return bytes;
}

// The contents of a small file (at most the buffer's size), read with plain system calls into
// the caller's buffer: the guard must not allocate, and it runs on any thread. nullopt when the
// file cannot be opened.
std::optional<std::string_view> read_small_file(const char* path, std::span<char> buffer) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    size_t size = 0;
    while (size < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + size, buffer.size() - size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size += static_cast<size_t>(n);
    }
    ::close(fd);
    return std::string_view(buffer.data(), size);
}

// The decimal number at the front of `text`; nullopt without digits or beyond 64 bits.
std::optional<uint64_t> leading_number(std::string_view text, size_t& i) {
    uint64_t value = 0;
    const size_t digits = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(text[i] - '0'), &value)) {
            return std::nullopt;
        }
    }
    if (i == digits) return std::nullopt;
    return value;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A control file that holds one number (a limit or a usage).
std::optional<uint64_t> whole_number(std::string_view text) {
    text = trim(text);
    size_t i = 0;
    const std::optional<uint64_t> value = leading_number(text, i);
    if (i != text.size()) return std::nullopt;
    return value;
}

// The lines of `text`, without their newlines (no empty line after a final newline).
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The value of the line "key value" in a key-per-line file (memory.stat).
std::optional<uint64_t> keyed_number(std::string_view text, std::string_view key) {
    for (const std::string_view line : lines_of(text)) {
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ' ')
            return whole_number(line.substr(key.size() + 1));
    }
    return std::nullopt;
}

// The "MemAvailable:  N kB" line of /proc/meminfo, in bytes.
std::optional<uint64_t> read_mem_available() {
    char buffer[4096];
    const std::optional<std::string_view> text = read_small_file("/proc/meminfo", buffer);
    if (!text) return std::nullopt;
    constexpr std::string_view kKey = "\nMemAvailable:";
    const size_t at = text->find(kKey);
    if (at == std::string_view::npos) return std::nullopt;
    size_t i = at + kKey.size();
    while (i < text->size() && (*text)[i] == ' ')
        ++i;
    const std::optional<uint64_t> kib = leading_number(*text, i);
    if (!kib || text->substr(i, 3) != " kB") return std::nullopt;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(*kib, 1024, &bytes)) return std::nullopt;
    return bytes;
}

// The fields of a line separated by single spaces.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t at = 0; at <= line.size();) {
        size_t end = line.find(' ', at);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

// A path of /proc/self/mountinfo, whose spaces, tabs, newlines and backslashes are written as
// three octal digits after a backslash.
std::string unescape_mount_path(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            std::all_of(text.begin() + static_cast<ptrdiff_t>(i) + 1,
                        text.begin() + static_cast<ptrdiff_t>(i) + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Whether the comma-separated `list` holds `item`.
bool list_holds(std::string_view list, std::string_view item) {
    for (size_t at = 0; at <= list.size();) {
        size_t end = list.find(',', at);
        if (end == std::string_view::npos) end = list.size();
        if (list.substr(at, end - at) == item) return true;
        at = end + 1;
    }
    return false;
}

// A mount of a cgroup hierarchy: where it is mounted and which cgroup its root is.
struct CgroupMount {
    std::string root;
    std::string mount_point;
};

// The first mount in `mountinfo` of filesystem type `type` whose super options hold
// `option` (any options when empty); the one whose root holds `path` when there are several.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, std::string_view type,
                                      std::string_view option, std::string_view path) {
    std::optional<CgroupMount> first;
    for (const std::string_view line : lines_of(mountinfo)) {
        // id parent major:minor root mount-point options [optional fields] - type source super
        const size_t separator = line.find(" - ");
        if (separator == std::string_view::npos) continue;
        const std::vector<std::string_view> before = fields_of(line.substr(0, separator));
        const std::vector<std::string_view> after = fields_of(line.substr(separator + 3));
        if (before.size() < 5 || after.size() < 3 || after[0] != type) continue;
        if (!option.empty() && !list_holds(after[2], option)) continue;
        CgroupMount mount{unescape_mount_path(before[3]), unescape_mount_path(before[4])};
        const bool holds = mount.root == "/" || path == mount.root ||
                           (path.starts_with(mount.root) && path[mount.root.size()] == '/');
        if (holds) return mount;
        if (!first) first = std::move(mount);
    }
    return first;
}

// The levels from the cgroup at `path` (as /proc/self/cgroup names it) up to the mount point.
void append_levels(std::vector<detail::CgroupLevel>& levels, const CgroupMount& mount,
                   std::string_view path, bool v2) {
    std::string relative;
    if (mount.root == "/") {
        relative = path;
    } else if (path.starts_with(mount.root) &&
               (path.size() == mount.root.size() || path[mount.root.size()] == '/')) {
        relative = path.substr(mount.root.size());
    }
    while (!relative.empty() && relative.back() == '/')
        relative.pop_back();
    std::string mount_point = mount.mount_point;
    while (mount_point.size() > 1 && mount_point.back() == '/')
        mount_point.pop_back();
    for (;;) {
        levels.push_back({mount_point + relative, v2});
        if (relative.empty()) return;
        relative.resize(relative.rfind('/'));
    }
}

// The levels of this process, with the paths of their files, found once.
struct CgroupFiles {
    std::string limit, usage, stat;
    bool v2 = false;
};

std::vector<CgroupFiles> read_cgroup_files(const char* proc_cgroup_path,
                                           const char* mountinfo_path) {
    std::vector<char> cgroup(1 << 16), mountinfo(1 << 20);
    const std::optional<std::string_view> cgroup_text = read_small_file(proc_cgroup_path, cgroup);
    const std::optional<std::string_view> mountinfo_text =
        read_small_file(mountinfo_path, mountinfo);
    std::vector<CgroupFiles> files;
    if (!cgroup_text || !mountinfo_text) return files;
    for (const detail::CgroupLevel& level :
         detail::cgroup_memory_levels(*cgroup_text, *mountinfo_text)) {
        const std::string& d = level.directory;
        if (level.v2) {
            files.push_back({d + "/memory.max", d + "/memory.current", d + "/memory.stat", true});
        } else {
            files.push_back({d + "/memory.limit_in_bytes", d + "/memory.usage_in_bytes",
                             d + "/memory.stat", false});
        }
    }
    return files;
}

}  // namespace

namespace detail {

std::vector<CgroupLevel> cgroup_memory_levels(std::string_view proc_cgroup,
                                              std::string_view mountinfo) {
    std::vector<CgroupLevel> levels;
    for (const std::string_view line : lines_of(proc_cgroup)) {
        // hierarchy-id:controllers:path; the path may itself hold colons.
        const size_t first = line.find(':');
        const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (path.empty() || path.front() != '/') continue;
        const bool v2 = id == "0" && controllers.empty();
        if (!v2 && !list_holds(controllers, "memory")) continue;
        const std::optional<CgroupMount> mount =
            v2 ? find_mount(mountinfo, "cgroup2", "", path)
               : find_mount(mountinfo, "cgroup", "memory", path);
        if (mount) append_levels(levels, *mount, path, v2);
    }
    return levels;
}

std::optional<uint64_t> cgroup_level_headroom(std::string_view limit, std::string_view usage,
                                              std::string_view stat, bool v2) {
    const std::optional<uint64_t> cap = whole_number(limit);  // "max": no limit
    const std::optional<uint64_t> used = whole_number(usage);
    if (!cap || !used) return std::nullopt;
    std::optional<uint64_t> inactive;
    if (!v2) inactive = keyed_number(stat, "total_inactive_file");
    if (!inactive) inactive = keyed_number(stat, "inactive_file");
    const uint64_t working = *used - std::min(*used, inactive.value_or(0));
    return *cap > working ? *cap - working : 0;
}

std::optional<uint64_t> cgroup_memory_headroom_bytes(const char* proc_cgroup_path,
                                                     const char* mountinfo_path) {
    std::optional<uint64_t> headroom;
    for (const CgroupFiles& level : read_cgroup_files(proc_cgroup_path, mountinfo_path)) {
        char limit[64], usage[64], stat[16384];
        const std::optional<std::string_view> limit_text =
            read_small_file(level.limit.c_str(), limit);
        if (!limit_text) continue;
        const std::optional<std::string_view> usage_text =
            read_small_file(level.usage.c_str(), usage);
        if (!usage_text) continue;
        const std::optional<std::string_view> stat_text = read_small_file(level.stat.c_str(), stat);
        const std::optional<uint64_t> left = detail::cgroup_level_headroom(
            *limit_text, *usage_text, stat_text.value_or(std::string_view()), level.v2);
        if (left) headroom = std::min(headroom.value_or(UINT64_MAX), *left);
    }
    return headroom;
}

}  // namespace detail

std::optional<uint64_t> cgroup_memory_headroom_bytes() {
    return detail::cgroup_memory_headroom_bytes("/proc/self/cgroup", "/proc/self/mountinfo");
}

std::string format_bytes(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    int unit = 0;
    double value = static_cast<double>(bytes) / 1024;
    while (value >= 1024 && unit + 1 < static_cast<int>(std::size(kUnits))) {
        value /= 1024;
        ++unit;
    }
    // Three significant digits, without an exponent ("1.46", "14.6", "146", "1023").
    const int decimals = value < 10 ? 2 : value < 100 ? 1 : 0;
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f %s", decimals, value, kUnits[unit]);
    return text;
}

MemoryShortage::MemoryShortage(std::string_view what, uint64_t bytes, uint64_t available)
    : MemoryShortage(
          beyond(what, bytes, available - std::min(available, memory_margin(available)))) {
    const uint64_t margin = std::min(available, memory_margin(available));
    message_ +=
        " (" + format_bytes(available) + " free less " + format_bytes(margin) + " kept free)";
}

MemoryShortage MemoryShortage::beyond(std::string_view what, uint64_t bytes, uint64_t usable) {
    std::string message = "not enough memory for ";
    message += what;
    message += ": " + format_bytes(bytes) + " needed, " + format_bytes(usable) + " available";
    return MemoryShortage(std::move(message));
}

uint64_t memory_margin(uint64_t available) {
    return std::max(kMinMarginBytes, available / 8);
}

bool fits_in_memory(uint64_t bytes, uint64_t available) {
    const uint64_t margin = memory_margin(available);
    return available >= margin && bytes <= available - margin;
}

uint64_t available_memory_bytes() {
    const uint64_t system = read_mem_available().value_or(physical_memory_bytes());
    return std::min(system, cgroup_memory_headroom_bytes().value_or(UINT64_MAX));
}

uint64_t usable_memory_bytes() {
    const uint64_t available = available_memory_bytes();
    const uint64_t margin = memory_margin(available);
    return available > margin ? available - margin : 0;
}

void require_memory(uint64_t bytes, std::string_view what) {
    if (bytes <= kUncheckedRequestBytes) return;
    const uint64_t available = available_memory_bytes();
    if (!fits_in_memory(bytes, available)) throw MemoryShortage(what, bytes, available);
}

void require_memory(uint64_t count, uint64_t element_bytes, std::string_view what) {
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, element_bytes, &bytes)) bytes = UINT64_MAX;
    require_memory(bytes, what);
}

uint64_t physical_memory_bytes() {
    // Fixed for the life of the process; asked once because the query is a system call.
    static const uint64_t bytes = query_physical_memory_bytes();
    return bytes;
}

}  // namespace kelvo
