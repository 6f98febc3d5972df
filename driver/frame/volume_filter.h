// The driver's devices on the file-system stacks: a volume filter above every disk, CD-ROM and
// network file system and every mounted volume, and for each mounted volume (and each
// redirector) a bypass alias "\Device\mirrorvol%d" through which the driver reaches the volume
// below its own filter.
//
// File system changed, Attach, Detach, Mount and Load file system keep the filters in place;
// the filter dispatch routes each request to the hooks the replication code installs.
#pragma once

#include "driver/base/device_class.h"
#include "platform/nt/eresource.h"
#include "platform/nt/list_entry.h"
#include "platform/nt/unicode_string.h"

class BypassAlias;
class VolumeFilter;

// The replication code's part of the filter dispatch. A pre hook gets the request first and
// returns the dispatch status (it passes the request through or forwards it with a hook); a
// post hook runs in a system thread once a hooked request came back, and completes it. A null
// pre hook passes the request through.
struct FilterHooks {
  using Pre = NTSTATUS (*)(VolumeFilter& filter, PIRP irp);
  using Post = void (*)(VolumeFilter& filter, PIRP irp, PVOID context);
  using Release = void (*)(PIRP irp, PVOID context);
  Pre preCreate;
  Post postCreate;
  Pre preClose;
  Post postClose;
  Pre preCleanup;
  Post postCleanup;
  Pre registerFile;  // read, query information, set extended attributes
  Pre preWrite;
  Post postWrite;
  Pre preSetInformation;
  Post postSetInformation;
  Pre preFsControl;
  Post postFsControl;
  Pre setSecurity;
  // Releases the context of a hooked request that needs no post-processing.
  Release release;
};

// The hooks filters use from now on.
void SetFilterHooks(const FilterHooks& hooks);

class VolumeFilter : public KvDevice {
 public:
  static constexpr ULONG kMagic = 0x17C2D51E;

  VolumeFilter(PDEVICE_OBJECT device, PDRIVER_OBJECT driver);

  // Creates an unnamed filter of `type`. REQUIRES: PASSIVE_LEVEL.
  static NTSTATUS Make(PDRIVER_OBJECT driver, DEVICE_TYPE type, VolumeFilter** filter);

  // Routes the request by major function (the filter dispatch table).
  NTSTATUS Dispatch(PIRP irp) override;
  // Decides whether a hooked request needs post-processing.
  NTSTATUS Completion(PIRP irp, PVOID context) override;
  // Routes to the post hook of the request, or to the mount and load steps, and completes.
  void PostProcess(PIRP irp, PVOID context, PVOID extra) override;

  // Attaches the filter above `target` (nothing when attached already), with an alias when
  // asked. REQUIRES: PASSIVE_LEVEL.
  NTSTATUS Attach(PDEVICE_OBJECT target, bool makeAlias);
  // Detaches the filter from its lower device; the lower device is remembered.
  void Detach();
  // Detaches the filter, destroys its alias and deletes its device. REQUIRES: PASSIVE_LEVEL.
  void DestroyFilter();

  PDEVICE_OBJECT lower() const { return lower_; }
  PDEVICE_OBJECT realDevice() const { return realDevice_; }
  BypassAlias* alias() const { return alias_; }
  ULONG volumeSerial() const { return volumeSerial_; }
  bool attached() const { return attached_ != 0; }
  // Whether the filter serves a network redirector.
  bool isNetwork() const;
  // The file-system attribute bits, when known since the last mount.
  ULONG fsAttributes() const { return fsAttributes_; }
  bool attributesKnown() const { return attributesKnown_ != 0; }
  void setFsAttributes(ULONG attributes);

  // The next filter on the recycle list.
  VolumeFilter* nextRecycled = nullptr;

 protected:
  ~VolumeFilter() override;

 private:
  NTSTATUS PreMount(PIRP irp);
  void PostMount(PIRP irp, PVOID context);
  NTSTATUS PreLoad(PIRP irp);
  void PostLoad(PIRP irp);
  NTSTATUS MakeAlias();

  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT realDevice_ = nullptr;
  BypassAlias* alias_ = nullptr;
  ULONG volumeSerial_ = 0;
  ULONG fsAttributes_ = 0;
  UCHAR attributesKnown_ = 0;
  UCHAR attached_ = 0;
};

// "\Device\mirrorvol%d": opens through it reach the owner filter's lower device.
class BypassAlias : public KvDevice {
 public:
  static constexpr ULONG kMagic = 0x251E798B;

  BypassAlias(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, VolumeFilter* owner,
              UNICODE_STRING name);

  // Creates, closes and cleans up through the owner filter's lower device; anything else is
  // refused with STATUS_ACCESS_DENIED.
  NTSTATUS Dispatch(PIRP irp) override;
  // After a forwarded cleanup: clears the file object's volume parameter block reference.
  NTSTATUS Completion(PIRP irp, PVOID context) override;

  VolumeFilter* owner() const { return owner_; }
  const UNICODE_STRING& name() const { return name_; }

  // The next alias on the alias list.
  BypassAlias* nextAlias = nullptr;

 protected:
  ~BypassAlias() override;

 private:
  VolumeFilter* owner_;
  UNICODE_STRING name_;
};

// The suffix of a create through an alias that asks for the target folder of the path.
inline constexpr std::u16string_view kAliasMarker = u"-7d41a2c63e954b809f165c0b2e8d4a73";

// The file-system half of the driver's global state: the attach lock, the alias list, the
// recycle list, the alias counter and the redirector flag.
class FileSystemFilters {
 public:
  // REQUIRES: PASSIVE_LEVEL; each called once per load of the driver, in this order.
  static void Initialize(PDRIVER_OBJECT driver);
  static void Release();
  // Detaches and deletes every filter (and alias) of the driver. REQUIRES: PASSIVE_LEVEL; no
  // hooked request in flight.
  static void DestroyAll();

  // The notification routine for file-system registration changes.
  static void FileSystemChanged(PDEVICE_OBJECT device, BOOLEAN active);

  // The alias list (linked through nextAlias): callers walk it under aliasLock() held shared.
  static ERESOURCE* aliasLock();
  static BypassAlias* firstAlias();
  static ULONG aliasCount();

  // The first of the driver's volume filters in `device`'s attachment chain above it, or null.
  static VolumeFilter* FilterAbove(PDEVICE_OBJECT device);

  // On NT 4, where the redirector does not register: attaches to "\Device\LanmanRedirector"
  // once it exists. True once done.
  static bool ProbeRedirector();

  // For the filters.
  static ERESOURCE* attachLock();
  static LONG NextAliasNumber();
  static void Recycle(VolumeFilter* filter);
  // The first recycled filter whose device has no references left, taken off the list.
  static VolumeFilter* TakeRecycled();
  static void AddAlias(BypassAlias* alias);
  static void RemoveAlias(BypassAlias* alias);
  static PDRIVER_OBJECT driver();
};

// The fast-I/O table the driver installs: every entry forwards to the lower device's driver
// for a volume filter, and answers FALSE otherwise.
PFAST_IO_DISPATCH FilterFastIoTable();
