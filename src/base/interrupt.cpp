#include "base/interrupt.h"

namespace vertisift::base {
namespace {

thread_local InterruptCheck* current_check = nullptr;

}  // namespace

InterruptCheck::InterruptCheck(Query query, void* context)
    : query_(query), context_(context), outer_(current_check) {
  current_check = this;
}

InterruptCheck::~InterruptCheck() { current_check = outer_; }

bool interrupt_requested() {
  InterruptCheck* check = current_check;
  if (check == nullptr) return false;
  if (!check->stopped_) check->stopped_ = check->query_(check->context_);
  return check->stopped_;
}

bool interrupted() {
  const InterruptCheck* check = current_check;
  return check != nullptr && check->stopped_;
}

}  // namespace vertisift::base
