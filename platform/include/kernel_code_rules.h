// Force-included into every driver translation unit by the host build. Kernel code here
// allocates only from pool and framework objects; a `new` expression is a build error.
#pragma once
#pragma GCC poison new
