# The slow-box measurement: the show from the zoomer (section 2) under the counting
# shim, no capture side open (the OSS layer grants the 4096-byte fragments asked for).
LD_PRELOAD=/lib/vmshim.so SHIM_OUT=/out/shim.txt SHIM_START=1226 demo 2 > demo.out 2>&1
echo $? > status
