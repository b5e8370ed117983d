# The whole show from the prelude, the loopback's capture side open first.
. /plans.sh

capture_start full
run full
capture_end
