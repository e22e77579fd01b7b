// The kernel layer: interrupt request levels, spin locks, dispatcher objects (events),
// threads and processes, critical regions, the bug check and the stack-expansion callout.
//
// Each host thread that enters the stand-in gets a thread record on first use. Threads
// started by the stand-in (system worker threads) belong to the system process; every
// other thread belongs to the one user process of the host. IRQL is per thread and only
// emulated: raising it to DISPATCH_LEVEL makes every blocking wait a bug check.
#pragma once

#include "hostkernel/NtDef.h"
#include "hostkernel/Seh.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

// Bug-check codes the stand-in itself raises.
#define APC_INDEX_MISMATCH 0x00000001
#define IRQL_GT_ZERO_AT_SYSTEM_SERVICE 0x0000004A
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define KMODE_EXCEPTION_NOT_HANDLED 0x0000001E
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044
#define BAD_POOL_CALLER 0x000000C2
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define THREAD_NOT_MUTEX_OWNER 0x00000011
#define RESOURCE_NOT_OWNED 0x000000E3
#define DEADLOCK_WATCHDOG 0x0000014F /* the host's wait watchdog fired */

struct KTHREAD;
struct KPROCESS;
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;
using PKPROCESS = KPROCESS*;
using PEPROCESS = KPROCESS*;
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

// Dispatcher header shared by the waitable objects; laid out as Windows lays it out.
struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
};
static_assert(sizeof(DISPATCHER_HEADER) == 0x18);

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;
static_assert(sizeof(KEVENT) == 0x18);

enum KWAIT_REASON { Executive = 0, UserRequest = 6, WrFsCacheIn = 32 };

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PKEVENT Event);
LONG KeResetEvent(PKEVENT Event);
LONG KeReadStateEvent(PKEVENT Event);

// Waits on an event. A zero timeout polls (allowed at DISPATCH_LEVEL); any other wait
// at DISPATCH_LEVEL stops the system. A wait the host's watchdog sees outlast its limit
// stops the system with DEADLOCK_WATCHDOG instead of hanging the test.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel();

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

PKTHREAD KeGetCurrentThread();
PETHREAD PsGetCurrentThread();
PEPROCESS PsGetCurrentProcess();
PEPROCESS IoGetCurrentProcess();
PEPROCESS PsGetThreadProcess(PETHREAD Thread);
BOOLEAN PsIsSystemThread(PETHREAD Thread);
HANDLE PsGetCurrentThreadId();

void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();
BOOLEAN KeAreApcsDisabled();
BOOLEAN KeAreAllApcsDisabled();
void FsRtlEnterFileSystem();
void FsRtlExitFileSystem();

[[noreturn]] void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                               ULONG_PTR P4);
[[noreturn]] void KeBugCheck(ULONG BugCheckCode);

// Runs Callout on a kernel stack of at least Size bytes. The host's threads have stacks
// large enough, so the callout runs in place; a test can make the next expansion fail.
using PEXPAND_STACK_CALLOUT = void (*)(PVOID Parameter);
#define KERNEL_STACK_SIZE 0x6000
NTSTATUS KeExpandKernelStackAndCalloutEx(PEXPAND_STACK_CALLOUT Callout, PVOID Parameter,
                                         SIZE_T Size, BOOLEAN Wait, PVOID Context);

LONG InterlockedIncrement(volatile LONG* Addend);
LONG InterlockedDecrement(volatile LONG* Addend);
LONG InterlockedExchange(volatile LONG* Target, LONG Value);
LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand);
LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
