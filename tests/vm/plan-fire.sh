# The fire's flip rate on the machine's display: the show from the fire (section 1),
# traced (trace_demo), stopped after thirty seconds, well inside the fire (frames 182 to
# 1226).
. /plans.sh
trace_demo trace.gz 1 > demo.out 2>&1 &
sleep 30
kill -TERM $(pidof demo)
wait
echo done > status
