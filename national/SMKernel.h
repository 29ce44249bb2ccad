/* One-time start-up and shut-down of the crypto library for the toolkit. */
#ifndef KELU_SM_KERNEL_H
#define KELU_SM_KERNEL_H

namespace kelu {

// 0 not started, 1 starting, 2 ready; any other value is corrupt.
extern int g_InitState;

// 0 when started now or already started; -1 on a corrupt state or a failed start-up step
// (the state then returns to 0).
int SMKernelInitialize();
// 0 when shut down now or never started; -1 when the state is neither 0 nor 2.
int SMKernelUninitialize();

}  // namespace kelu

#endif
