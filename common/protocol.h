// The protocol between kvdrv and the user-mode programs: control codes, node flags, events,
// window messages and the arguments of the synchronization entry. Records that cross the
// boundary have their own headers beside this one.
#pragma once

#include <cstdint>

// Control codes: device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS, functions from 0x801 up.
constexpr std::uint32_t KvControlCode(std::uint32_t function) { return 0x220000u + 4u * function; }

constexpr std::uint32_t KV_IOCTL_GET_VERSION = 0x222004;
constexpr std::uint32_t KV_IOCTL_GET_PATH_INFO = 0x222008;
constexpr std::uint32_t KV_IOCTL_GET_PARTNERS = 0x22200C;
constexpr std::uint32_t KV_IOCTL_ADD_PAIR = 0x222010;
constexpr std::uint32_t KV_IOCTL_REMOVE_PAIR = 0x222014;
constexpr std::uint32_t KV_IOCTL_SET_FLAGS = 0x222018;
constexpr std::uint32_t KV_IOCTL_GET_FILTER = 0x22201C;
constexpr std::uint32_t KV_IOCTL_SET_FILTER = 0x222020;
constexpr std::uint32_t KV_IOCTL_VOLUME_CHANGE = 0x222024;
constexpr std::uint32_t KV_IOCTL_GET_PAIR_INFO = 0x222028;
constexpr std::uint32_t KV_IOCTL_SET_PAIR_INFO = 0x22202C;
constexpr std::uint32_t KV_IOCTL_ENUM_IDS = 0x222030;
constexpr std::uint32_t KV_IOCTL_GET_PATH_BY_ID = 0x222034;
constexpr std::uint32_t KV_IOCTL_SET_BUSY = 0x222038;
constexpr std::uint32_t KV_IOCTL_QUERY_SHUTDOWN_SYNC = 0x22203C;
constexpr std::uint32_t KV_IOCTL_GET_ID = 0x222040;
constexpr std::uint32_t KV_IOCTL_ADD_EXCLUSION = 0x222044;
constexpr std::uint32_t KV_IOCTL_RESERVED_8C = 0x22208C;  // accepted and ignored
constexpr std::uint32_t KV_IOCTL_DISABLE = 0x222088;
constexpr std::uint32_t KV_IOCTL_WAIT_EVENT = 0x222090;
constexpr std::uint32_t KV_IOCTL_QUERY_ADMIN_ONLY = 0x222094;
constexpr std::uint32_t KV_IOCTL_RESERVED_98 = 0x222098;  // accepted and ignored
constexpr std::uint32_t KV_IOCTL_SET_WINDOW = 0x2220A4;  // other platform family only
constexpr std::uint32_t KV_IOCTL_SET_CREDENTIALS = 0x2220A0;

static_assert(KV_IOCTL_GET_VERSION == KvControlCode(0x801));
static_assert(KV_IOCTL_SET_CREDENTIALS == KvControlCode(0x828));

// The driver's version answer: 3.0, build 111.
constexpr std::uint8_t kKvDriverVersionMajor = 3;
constexpr std::uint8_t kKvDriverVersionMinor = 0;
constexpr std::uint16_t kKvDriverBuild = 111;

// Enumeration kinds of KV_IOCTL_ENUM_IDS.
constexpr std::uint32_t KV_ENUM_VERSIONING_MIRRORS = 1;
constexpr std::uint32_t KV_ENUM_ALL_MIRRORS = 2;
constexpr std::uint32_t KV_ENUM_SOURCES = 3;

// Kinds of KV_IOCTL_VOLUME_CHANGE.
constexpr std::uint32_t KV_VOLUME_ARRIVED = 1;
constexpr std::uint32_t KV_VOLUME_GONE = 2;
constexpr std::uint32_t KV_VOLUME_LETTER = 3;

// Node flags: the 32-bit flags word of a source or mirror node. The driver acts on its own
// bits and stores every other bit unchanged for the user-mode programs.
constexpr std::uint32_t KV_FLAG_MIRROR = 0x1;
constexpr std::uint32_t KV_FLAG_SOURCE = 0x2;
constexpr std::uint32_t KV_FLAG_SUBFOLDERS = 0x4;
constexpr std::uint32_t KV_FLAG_PROTECT = 0x8;
constexpr std::uint32_t KV_FLAG_AT_START = 0x10;
constexpr std::uint32_t KV_FLAG_KEEP_DELETED = 0x20;
constexpr std::uint32_t KV_FLAG_NEEDS_SYNC = 0x40;
constexpr std::uint32_t KV_FLAG_SCHEDULED = 0x80;
constexpr std::uint32_t KV_FLAG_VERSIONING = 0x100;
constexpr std::uint32_t KV_FLAG_ARCHIVE_ALL = 0x200;
constexpr std::uint32_t KV_FLAG_PURGE_EXCLUDED = 0x400;
constexpr std::uint32_t KV_FLAG_DELETE_EXTRA = 0x800;
constexpr std::uint32_t KV_FLAG_TWO_WAY = 0x1000;
constexpr std::uint32_t KV_FLAG_CONFLICT_KEEP = 0x2000;
constexpr std::uint32_t KV_FLAG_CONFLICT_OVERWRITE = 0x4000;
constexpr std::uint32_t KV_FLAG_INCLUDE_LIST = 0x8000;
constexpr std::uint32_t KV_FLAG_RECYCLE = 0x10000;
constexpr std::uint32_t KV_FLAG_COPY_ALL = 0x20000;
constexpr std::uint32_t KV_FLAG_VERIFY = 0x40000;
constexpr std::uint32_t KV_FLAG_SHUTDOWN_SYNC = 0x80000;
constexpr std::uint32_t KV_FLAG_NO_PROMPTS = 0x100000;
constexpr std::uint32_t KV_FLAG_THROTTLE = 0x200000;
constexpr std::uint32_t KV_FLAG_BUSY = 0x400000;
constexpr std::uint32_t KV_FLAG_NO_SAVE = 0x800000;
constexpr std::uint32_t KV_FLAG_CLEAR_ARCHIVE = 0x1000000;
constexpr std::uint32_t KV_FLAG_REMOVE_EMPTY = 0x2000000;
constexpr std::uint32_t KV_FLAG_USE_ACCOUNT = 0x4000000;
constexpr std::uint32_t KV_FLAG_COPY_ACL = 0x8000000;
constexpr std::uint32_t KV_FLAG_COPY_ATTRIBUTES = 0x10000000;
constexpr std::uint32_t KV_FLAG_CHANGED_ONLY = 0x20000000;
constexpr std::uint32_t KV_FLAG_SKIP_TEMP = 0x40000000;

// Flags of a newly added mirror: mirror, protected, out of date, skip temporary folders, and
// two bits (0x100000, 0x10000000) the programs read as "no prompts" and "copy attributes".
constexpr std::uint32_t KV_FLAGS_NEW_MIRROR = 0x50100049;
// Bits never written to the table file: the busy claim and the no-save request.
constexpr std::uint32_t KV_FLAGS_STORED_MASK = ~(KV_FLAG_BUSY | KV_FLAG_NO_SAVE);
static_assert(KV_FLAGS_STORED_MASK == 0xFF3FFFFF);

// The one event the driver posts: a folder was moved into a source folder.
constexpr std::uint32_t KV_EVENT_SYNC_SOURCE = 1126;

// Window messages between the components; each travels as a 12-byte message record.
constexpr std::uint32_t KV_WM_SYNC_SOURCE = 0x466;         // synchronize a source (driver event)
constexpr std::uint32_t KV_WM_MIRROR_HANDOVER = 0x469;     // network mirror handed to the agent
constexpr std::uint32_t KV_WM_SHUTDOWN_SYNC = 0x473;       // agent-internal shutdown synchronization
static_assert(KV_WM_SYNC_SOURCE == KV_EVENT_SYNC_SOURCE);

// Modes of the synchronization entry.
enum class SyncMode : std::uint32_t {
  KV_SYNC_STARTUP = 1,
  KV_SYNC_SHUTDOWN = 2,
  KV_SYNC_SCHEDULED_NOW = 3,
  KV_SYNC_TIMER = 4,
  KV_SYNC_VOLUME_ARRIVED = 5,
  KV_SYNC_SOURCE = 6,
  KV_SYNC_MIRROR = 7,
  KV_SYNC_NEW_MIRRORS = 8,
  KV_SYNC_SOURCE_EVENT = 9,
  KV_SYNC_MIRROR_HANDOVER = 10,
  KV_SYNC_VOLUME_REMOVED = 11,
  KV_SYNC_ARCHIVE_TIMER = 12,
  KV_SYNC_ARCHIVE_NOW = 13,
};

// Who calls the synchronization entry, which decides what the run may show and ask.
enum class CallerKind : std::uint32_t {
  KV_CALLER_AUTOMATIC = 1,
  KV_CALLER_INTERACTIVE = 2,
  KV_CALLER_QUIET = 3,
  KV_CALLER_SERVICE = 4,
};

// Names of the control device.
inline constexpr char16_t kKvDeviceName[] = u"\\FileSystem\\Korvane";
inline constexpr char16_t kKvDeviceNameFilters[] = u"\\FileSystem\\Filters\\Korvane";
inline constexpr char16_t kKvDosDeviceName[] = u"\\DosDevices\\KvDrv";
inline constexpr char16_t kKvUserDeviceName[] = u"\\\\.\\kvdrv";
inline constexpr char16_t kKvUserDeviceName9x[] = u"\\\\.\\kvdrv.VxD";
