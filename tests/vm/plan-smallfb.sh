# On a framebuffer with too little video memory for the show's virtual screen (the
# machine booted with VM_FB_MEMORY=1228800).
. /plans.sh

run smallfb 4
