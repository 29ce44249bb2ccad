// The engine leaves a fatal error (memory_limit exceeded, for one) by a longjmp to its current
// bail-out address, which would skip the destructors of every native frame in between: copies,
// buffers and open files of a script function would leak for the life of the process. Engine
// calls that can bail out therefore run under a bail-out address of their own; a bail-out
// becomes an EngineBailout exception that unwinds the native frames to the call adapter, which
// then resumes the bail-out at the engine's boundary.
#ifndef KELU_PHP_BAILOUT_H
#define KELU_PHP_BAILOUT_H

#include <type_traits>

namespace Php {

// Thrown in place of the engine's bail-out; only the call adapter catches it.
struct EngineBailout {};

// Runs call(context) with a bail-out address of its own: true when the engine bailed out.
// call must leave no native object with a destructor between it and the engine.
bool BailedOut(void (*call)(void *), void *context) noexcept;

// Runs an engine call; its bail-out is thrown as EngineBailout.
template <class EngineCall>
void GuardBailout(EngineCall &&engineCall) {
  using Call = std::remove_reference_t<EngineCall>;
  if (BailedOut([](void *c) { (*static_cast<Call *>(c))(); }, &engineCall)) throw EngineBailout{};
}

}  // namespace Php

#endif
