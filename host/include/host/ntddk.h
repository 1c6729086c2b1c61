// Host model of the kernel executive's declarations: the names, types and
// operations of ntoskrnl.exe that the driver uses, with the x64 layout of the
// real headers wherever the driver reads or writes a structure's fields.
//
// Executive objects the driver only passes back to the executive (KDPC,
// KTIMER, KEVENT, NPAGED_LOOKASIDE_LIST) carry the host's own bookkeeping;
// their sizes need not match Windows because the driver never looks inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#define NTAPI
#define FASTCALL
#define STDMETHODCALLTYPE
#define DECLSPEC_ALIGN(x) alignas(x)

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT;
typedef unsigned short USHORT, WORD;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG, DWORD;
typedef int32_t WINBOOL;
typedef int32_t BOOL;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef char16_t WCHAR, *PWSTR;
typedef const char16_t* PCWSTR;
typedef LONG NTSTATUS;
typedef LONG HRESULT;
typedef void* HANDLE;
typedef UCHAR KIRQL, *PKIRQL;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID& REFGUID;
typedef const GUID& REFIID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(const GUID& a, const GUID& b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(const GUID& a, const GUID& b) {
    return !IsEqualGUID(a, b);
}

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

// ---- status codes -----------------------------------------------------------
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_PROPSET_NOT_FOUND ((NTSTATUS)0xC0000230L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

// ---- IRQL -------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

KIRQL KeGetCurrentIrql(void);
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);

// ---- pool -------------------------------------------------------------------
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

#define POOL_NX_ALLOCATION 512

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---- memory -----------------------------------------------------------------
#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))
#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PUCHAR)(address) - (ULONG_PTR)offsetof(type, field)))

// ---- interlocked ------------------------------------------------------------
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline void KeMemoryBarrier(void) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

// ---- doubly linked lists (the WDK's inline list routines) -------------------
inline void InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}
inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}

// ---- spin locks -------------------------------------------------------------
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KeAcquireSpinLockRaiseToDpc(lock))

// ---- DPCs, timers, events ---------------------------------------------------
struct _KDPC;
typedef void KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

// Host bookkeeping: `Magic` tells an initialised object from garbage,
// `Inserted` is set while the DPC is queued (owned by the executive's lock).
typedef struct _KDPC {
    ULONG Magic;
    volatile LONG Inserted;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    LIST_ENTRY DpcListEntry;
} KDPC, *PKDPC, *PRKDPC;

// Host bookkeeping: absolute due time and the DPC to queue, `Inserted` while
// armed. Guarded by the executive's timer lock.
typedef struct _KTIMER {
    ULONG Magic;
    volatile LONG Inserted;
    LONGLONG DueTime;
    PKDPC Dpc;
    ULONGLONG Sequence;
    LIST_ENTRY TimerListEntry;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
    ULONG Magic;
    EVENT_TYPE Type;
    volatile LONG SignalState;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1 } KPROCESSOR_MODE;
typedef LONG KPRIORITY;

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
void KeInitializeTimer(PKTIMER Timer);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
// Interrupt time: 100 ns units since boot, as of the last clock interrupt;
// never moved by a system clock set. Any IRQL. (x64 kernel headers read it
// from the shared user data page; no import.)
ULONGLONG KeQueryInterruptTime();

// ---- interlocked singly linked lists ---------------------------------------
typedef struct alignas(16) _SLIST_ENTRY {
    struct _SLIST_ENTRY* Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

// x64 layout (16 bytes, 16-aligned). Host bookkeeping inside: Alignment holds
// the depth, Region the first entry; only the executive's routines touch it.
typedef struct alignas(16) _SLIST_HEADER {
    ULONGLONG Alignment;
    ULONGLONG Region;
} SLIST_HEADER, *PSLIST_HEADER;

PSLIST_ENTRY ExpInterlockedPopEntrySList(PSLIST_HEADER ListHead);
PSLIST_ENTRY ExpInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
USHORT ExQueryDepthSList(PSLIST_HEADER ListHead);
#define InterlockedPopEntrySList(head) ExpInterlockedPopEntrySList(head)
#define InterlockedPushEntrySList(head, entry) ExpInterlockedPushEntrySList(head, entry)

// ---- lookaside lists --------------------------------------------------------
typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef void (*PFREE_FUNCTION)(PVOID Buffer);

// The real x64 layout: a driver compiled against the kernel's headers
// allocates and frees inline, reading and writing these fields and calling
// through Allocate and Free, so the host lays them out as Windows does (the
// ABI check compares them). The host caches nothing: Depth stays 0, so every
// free goes to Free and every allocation to Allocate. Future[0] carries the
// executive's magic (initialised or deleted list); the executive guards the
// rest of its bookkeeping with its own lock.
typedef struct alignas(64) _GENERAL_LOOKASIDE {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct alignas(64) _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);

// The kernel headers' inline allocation and free, as written there.
inline PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    Lookaside->L.TotalAllocates++;
    PVOID Entry = InterlockedPopEntrySList(&Lookaside->L.ListHead);
    if (Entry == nullptr) {
        Lookaside->L.AllocateMisses++;
        Entry = (Lookaside->L.Allocate)(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
    }
    return Entry;
}
inline void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    Lookaside->L.TotalFrees++;
    if (ExQueryDepthSList(&Lookaside->L.ListHead) >= Lookaside->L.Depth) {
        Lookaside->L.FreeMisses++;
        (Lookaside->L.Free)(Entry);
    } else {
        InterlockedPushEntrySList(&Lookaside->L.ListHead, static_cast<PSLIST_ENTRY>(Entry));
    }
}

// The routines a list uses when the driver passes none (host only): pool
// blocks of the list's tag and size, with the executive's checks and fault
// injection, noted as entries of the live list of that tag.
PVOID HostLookasideAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void HostLookasideFree(PVOID Buffer);
// What a deleted list calls (host only): reports the use after delete.
PVOID HostDeletedLookasideAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void HostDeletedLookasideFree(PVOID Buffer);

// ---- rundown protection -----------------------------------------------------
typedef struct _EX_RUNDOWN_REF {
    volatile ULONG_PTR Count;
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

void ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
void ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef);
void ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef);
void ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef);

// ---- critical regions -------------------------------------------------------
// <= APC_LEVEL; nest per thread (user and normal kernel APCs off inside).
void KeEnterCriticalRegion(void);
void KeLeaveCriticalRegion(void);

// ---- I/O objects the driver names ------------------------------------------
typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// x64 layout: Parameters at 8; DeviceIoControl's InputBufferLength is
// pointer-aligned, so it sits at 16.
typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    ULONG Padding0;
    union {
        struct {
            ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT* DeviceObject;
    struct _FILE_OBJECT* FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

// x64 layout of the fields the driver touches: IoStatus at 48,
// Tail.Overlay.CurrentStackLocation at 184, 208 bytes in all. The host's IRP
// keeps its own request context in the otherwise unused middle.
typedef struct _IRP {
    SHORT Type;
    USHORT Size;
    ULONG Padding0;
    PVOID MdlAddress;
    ULONG Flags;
    ULONG Padding1;
    PVOID AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    PVOID HostRequest;  // host only: the request this IRP carries (owned by the host dispatcher)
    UCHAR Reserved[48];
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PVOID AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PVOID OriginalFileObject;
            PVOID Reserved5;
        } Overlay;
    } Tail;
} IRP, *PIRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

typedef struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    PVOID DeviceExtension;
    PVOID HostDevice;  // host only: the KS device that owns this object
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _FILE_OBJECT {
    PVOID FsContext;
    PVOID FsContext2;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PVOID DriverExtension;
    PVOID HostDriver;  // host only: the class library's driver record
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _CM_RESOURCE_LIST CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
typedef struct _SECURITY_DESCRIPTOR SECURITY_DESCRIPTOR, *PSECURITY_DESCRIPTOR;

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1
} SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4
} DEVICE_POWER_STATE;

typedef struct _DEVICE_CAPABILITIES DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---- pageable code check ----------------------------------------------------
// Reports a verifier violation when pageable code runs above APC_LEVEL.
void HostPagedCodeCheck(const char* File, int Line);
