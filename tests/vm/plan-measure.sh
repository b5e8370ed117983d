# The slow-box measurement: the show from the zoomer (section 2), traced (trace_demo),
# no capture side open (the OSS layer then grants the 4096-byte fragments asked for).
. /plans.sh
trace_demo trace.gz 2 > demo.out 2>&1
echo $? > status
