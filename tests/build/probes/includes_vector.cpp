// A standard-library container in kernel code: must not build.
#include <vector>

int ProbeCount();

int ProbeCount() {
    std::vector<int> values;
    return static_cast<int>(values.size());
}
