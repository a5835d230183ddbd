// An exception in kernel code: must not build.
int ProbeCheck(int value);

int ProbeCheck(int value) {
    if (value < 0) {
        throw value;
    }
    return value;
}
