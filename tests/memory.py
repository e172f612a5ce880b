"""The memory the system can hand out now, as the memory guard sees it."""

import os


def available_memory():
    """MemAvailable of /proc/meminfo in bytes; physical memory where there is none."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
