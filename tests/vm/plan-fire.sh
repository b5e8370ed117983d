# The fire's flip rate on vfb: the show from the fire (section 1) under the counting
# shim, stopped after thirty seconds, well inside the fire (frames 182 to 1226).
demo_start() { LD_PRELOAD=/lib/vmshim.so SHIM_OUT=/out/shim.txt demo 1 > demo.out 2>&1; }
demo_start &
sleep 30
kill -TERM $(pidof demo)
wait
echo done > status
