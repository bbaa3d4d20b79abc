# Sourced by scripts/test.sh and scripts/stress-tests.sh: what the ThreadSanitizer build runs
# (the suites where the plug-in's threads meet: end to end, the host-call queue, the published
# records) and the sanitizer's options. Needs $root.
ur_tsan_suites='^(Foundation[A-Za-z]*|WorkerEndToEnd|FreshValues|ReadCycle|ProgramVariables|PublishedRecords|HostCallQueue|ItemNameClaims)\.'
ur_tsan_options="suppressions=$root/tsan/suppressions.txt second_deadlock_stack=1"
