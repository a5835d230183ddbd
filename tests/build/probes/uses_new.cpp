// A heap allocation outside pool in kernel code: must not build.
struct PROBE_RECORD {
    int Value;
};

PROBE_RECORD* ProbeMake();

PROBE_RECORD* ProbeMake() {
    return new PROBE_RECORD{1};
}
