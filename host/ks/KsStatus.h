// Status codes the class library model and the client calls return that the
// driver itself never names, so the shared platform header does not carry
// them. Values as ntstatus.h gives them.
#pragma once

#include <host/ntddk.h>

#ifndef STATUS_TIMEOUT
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#endif
#ifndef STATUS_INVALID_HANDLE
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#endif
#ifndef STATUS_QUOTA_EXCEEDED
#define STATUS_QUOTA_EXCEEDED ((NTSTATUS)0xC0000044L)
#endif

// The device I/O control code of a property request (CTL_CODE(FILE_DEVICE_KS,
// 0, METHOD_NEITHER, FILE_ANY_ACCESS)).
#ifndef IOCTL_KS_PROPERTY
#define IOCTL_KS_PROPERTY ((ULONG)0x002F0003)
#endif

#ifndef IRP_MJ_CREATE
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_POWER 0x16
#define IRP_MJ_PNP 0x1b
#endif
