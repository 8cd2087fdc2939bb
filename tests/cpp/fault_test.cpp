#include "base/fault.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <thread>

namespace vertisift::base {
namespace {

// The diagnostic names the thread and the place of the fault; the exception carries the
// message alone.
TEST(RaiseFault, WritesTheDiagnosticAndThrows) {
  std::string written;
  std::string carried;
  const std::source_location where = std::source_location::current();
  std::thread([&] {
    pthread_setname_np(pthread_self(), "fault-test");
    testing::internal::CaptureStderr();
    try {
      raise_fault("broken invariant", where);
    } catch (const InternalFault& fault) {
      carried = fault.what();
    }
    written = testing::internal::GetCapturedStderr();
  }).join();
  EXPECT_EQ(carried, "broken invariant");
  const std::string place = std::string(where.file_name()) + ":" + std::to_string(where.line());
  EXPECT_EQ(written, "vertisift: internal fault on thread 'fault-test' at " + place +
                         ": broken invariant\n");
}

}  // namespace
}  // namespace vertisift::base
