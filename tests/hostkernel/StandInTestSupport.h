// What the stand-in's own tests share: a raw image file with a known byte pattern, a
// test driver whose dispatch routines the tests choose, and the end-of-test check that
// nothing is left alive.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "hostkernel/FrontEnd.h"

// Byte I of a pattern image.
inline UCHAR PatternByte(uint64_t Offset) { return (UCHAR)((Offset * 7 + Offset / 512) & 0xFF); }

// A pattern image of Length bytes in the temporary folder, removed with this record.
class PatternImage {
 public:
  PatternImage(const std::string& Name, uint64_t Length);
  ~PatternImage();
  PatternImage(const PatternImage&) = delete;
  PatternImage& operator=(const PatternImage&) = delete;
  const std::string& Path() const { return Path_; }

 private:
  std::string Path_;
};

// A driver loaded for one test, with every major function routed to Dispatch.
PDRIVER_OBJECT LoadTestDriver(PDRIVER_DISPATCH Dispatch);

// Creates a device of the test driver in a system thread.
PDEVICE_OBJECT CreateTestDevice(PDRIVER_OBJECT Driver, const char16_t* Name, DEVICE_TYPE Type,
                                ULONG ExtensionSize = 0);

// Waits for the work queues and checks that no pool, resource or file object is left.
void ExpectNothingAlive();
