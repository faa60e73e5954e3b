// What every EFS2 request shares: the DIAG subsystem-dispatch header and one exchange with the
// device, decoded and CRC-tested. Each operation builds its own body and judges its own answer.
#pragma once

#include <cstdint>

#include "link/attempts.h"

// Request packet: 0x4B (subsystem dispatch), 0x13 (file system), command code u16 little-endian,
// then the command's body. Every field after the header is little-endian too.
constexpr std::uint8_t kDiagSubsystemDispatch = 0x4B;
constexpr std::uint8_t kEfsSubsystem = 0x13;
constexpr int kEfsHeaderLength = 4;
// File-system command codes.
constexpr std::uint16_t kEfsHello = 0;
constexpr std::uint16_t kEfsOpen = 2;
constexpr std::uint16_t kEfsClose = 3;
constexpr std::uint16_t kEfsRead = 4;
constexpr std::uint16_t kEfsWrite = 5;
constexpr std::uint16_t kEfsSymlink = 6;
constexpr std::uint16_t kEfsUnlink = 8;
constexpr std::uint16_t kEfsMkdir = 9;
constexpr std::uint16_t kEfsRmdir = 10;
constexpr std::uint16_t kEfsOpendir = 11;
constexpr std::uint16_t kEfsReaddir = 12;
constexpr std::uint16_t kEfsClosedir = 13;
constexpr std::uint16_t kEfsStat = 15;
// Single requests are built in a buffer of this size; a path that does not fit is refused.
constexpr int kEfsRequestBuffer = 256;
// Receive buffers: most answers are short; read, write and stat answers get the large buffer.
constexpr int kEfsSmallAnswer = 256;
constexpr int kEfsLargeAnswer = kReceiveBuffer;

// Failure kinds every EFS2 operation shares; an operation numbers its own from kEfsOwnFailure.
constexpr int kEfsSendFailed = 1;
constexpr int kEfsCrcFailed = 2;
constexpr int kEfsOwnFailure = 3;

// Writes the header with code at the start of request; returns its length.
int put_efs_header(std::uint8_t* request, std::uint16_t code);

// True when the decoded answer starts with 0x4B 0x13 and the low byte of code.
bool efs_header_is(const std::uint8_t* answer, std::uint16_t code);

// Clears answer (capacity bytes) and sends the request through apply_diag_cmd, with the CRC over
// the whole request. 0, or kEfsSendFailed.
int efs_send(DeviceLine& line, const std::uint8_t* request, int length, std::uint8_t* answer,
             int capacity);

// efs_send, then decodes the answer in place and tests its CRC. 0 with *packet set to the decoded
// packet's length (its CRC not counted, never 0), or kEfsSendFailed / kEfsCrcFailed. Every byte of
// answer after the packet is cleared, so a field the device did not send reads as zero, never as a
// leftover of the raw frame.
//
// dirty, when given, lets a caller that makes many exchanges into one large buffer clear only the
// bytes the last exchange touched: on entry it is how many bytes at the start of answer may be
// non-zero (the caller vouches that the rest is zero, as in a new buffer or as the last exchange
// left it), on return the same for what this exchange left. answer reads the same either way.
int efs_exchange(DeviceLine& line, const std::uint8_t* request, int length, std::uint8_t* answer,
                 int capacity, int* packet, int* dirty = nullptr);

// Handles the device holds without the program knowing: an open sent more than once may have
// been carried out each time, each answer naming a handle of its own, some of them late. Every
// answer efs_exchange reads (and what its read took after it) is looked at for the handles open
// and opendir answers name. An open hands its caller one of them (take_named_handle); the others
// are strays, closed by close_stray_handles, which the opens call and the copy job at its end.
constexpr int kMaxStrayCloses = 64;
void take_named_handle(DeviceLine& line, const std::uint8_t* handle, bool directory);
// Reads answers that come late, until the line is quiet, at most reads times.
void read_late_answers(DeviceLine& line, int reads);
void close_stray_handles(DeviceLine& line);
