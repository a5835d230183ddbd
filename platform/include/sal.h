// Source annotations. The host compilers do not check them, so each expands to nothing;
// they stay in the sources so a WDK build with code analysis reads the same contracts.
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_reads_(n)
#define _In_reads_opt_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_
#define _Out_opt_
#define _Out_writes_(n)
#define _Out_writes_opt_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, m)
#define _Out_writes_z_(n)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_(n)
#define _Inout_updates_bytes_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_result_buffer_(n)
#define _Outptr_opt_result_bytebuffer_(n)
#define _Outptr_result_bytebuffer_(n)
#define _Deref_out_range_(a, b)
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(expr)
#define _Null_terminated_
#define _Field_size_(n)
#define _Field_size_bytes_(n)
#define _Field_size_bytes_part_(n, m)
#define _Field_range_(a, b)
#define _Printf_format_string_
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_always_function_max_(irql)
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _Guarded_by_(lock)
#define _Kernel_requires_resource_held_(r)
#define _When_(cond, ann)
#define _At_(expr, ann)
#define _Pre_
#define _Post_
#define _Pre_notnull_
#define _Post_invalid_
#define _Post_ptr_invalid_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Strict_type_match_
#define _Analysis_assume_(expr)
#define _Reserved_
#define _Notnull_
#define _Maybenull_
#define _Enum_is_bitflag_
#define _Dispatch_type_(type)
#define _Pre_satisfies_(expr)
#define _Post_satisfies_(expr)
#define _Always_(ann)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Post_writable_byte_size_(n)
#define _Ret_range_(a, b)
#define _Param_(n)
#define _Inexpressible_(x)
#define _Writable_bytes_(n)
#define _Readable_bytes_(n)
#define _Out_range_(a, b)
#define _In_range_(a, b)
#define __drv_aliasesMem
#define __drv_allocatesMem(kind)
#define __drv_freesMem(kind)
#define __drv_when(cond, ann)
#define __drv_maxIRQL(irql)
#define __drv_dispatchType(type)
#define __drv_strictTypeMatch(mode)

// The driver-analysis annotations a WDK-built source may carry at file scope (what the WDK
// declares in its driver-analysis header). No analysis runs on the host, so each expands to
// nothing.
#ifndef _Analysis_mode_
#define _Analysis_mode_(mode)
#endif
#ifndef _Analysis_code_type_user_code_
#define _Analysis_code_type_user_code_
#define _Analysis_code_type_user_driver_
#define _Analysis_code_type_kernel_driver_
#endif
#ifndef __drv_dispatchType
#define __drv_dispatchType(type)
#endif
