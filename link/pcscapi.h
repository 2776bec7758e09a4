#pragma once

// The PC/SC service as the reader switch sees it: one small table of the functions it calls.
// The program always uses PcscApi::real(), the platform's own service (pcsc-lite on Linux,
// winscard on Windows); the test suite builds tables of its own that stand in a fake service.

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX // keeps std::min and std::max usable
#endif
#include <windows.h>
#include <winioctl.h>
#include <winscard.h>
#define VARDEL_PCSC_CALL WINAPI
#else
#include <reader.h>
#include <winscard.h>
#define VARDEL_PCSC_CALL
#endif

// Reader names: UTF-16 with winscard's wide-character functions, UTF-8 with pcsc-lite.
#ifdef _WIN32
using PcscChar = WCHAR;
#else
using PcscChar = char;
#endif

struct PcscApi
{
    LONG(VARDEL_PCSC_CALL *establishContext)
    (DWORD scope, LPCVOID reserved1, LPCVOID reserved2, LPSCARDCONTEXT context);
    // With *length == SCARD_AUTOALLOCATE, `readers` is really a PcscChar ** that receives a list
    // allocated by the service (released with freeMemory).
    LONG(VARDEL_PCSC_CALL *listReaders)
    (SCARDCONTEXT context, const PcscChar *groups, PcscChar *readers, LPDWORD length);
    LONG(VARDEL_PCSC_CALL *connect)
    (SCARDCONTEXT context, const PcscChar *reader, DWORD shareMode, DWORD protocols,
     LPSCARDHANDLE card, LPDWORD activeProtocol);
    LONG(VARDEL_PCSC_CALL *getAttrib)
    (SCARDHANDLE card, DWORD attribute, LPBYTE value, LPDWORD length);
    LONG(VARDEL_PCSC_CALL *control)
    (SCARDHANDLE card, DWORD code, LPCVOID input, DWORD inputLength, LPVOID output,
     DWORD outputSize, LPDWORD returned);
    LONG(VARDEL_PCSC_CALL *disconnect)(SCARDHANDLE card, DWORD disposition);
    LONG(VARDEL_PCSC_CALL *freeMemory)(SCARDCONTEXT context, LPCVOID memory);
    LONG(VARDEL_PCSC_CALL *releaseContext)(SCARDCONTEXT context);

    // The platform's PC/SC service.
    static const PcscApi &real();
};
