# The processor state kernel code on 32-bit x86 may use: the general
# registers only. The kernel saves no x87, MMX or SSE state for a driver
# (short of KeSaveFloatingPointState), so these units are forbidden to the
# compiler: a floating-point expression becomes a call of a soft-float
# routine that nothing provides, and the link fails.
set(TAMRIXSC_KERNEL_CPU_FLAGS
  -mgeneral-regs-only
  -mno-80387
  -mno-fp-ret-in-387
  -mno-mmx
  -mno-3dnow
  -mno-sse
  -mno-sse2
  -mno-avx
)
