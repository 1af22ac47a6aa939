# Makes smp_linux_x86_64.rec: an SMP session on a CPU without a core row of
# its own (x86-64), recorded from the real 4-core ThreadX kernel. From the
# repository root, with the plugin built:
#   gdb -nx -batch -x tests/records/threadx/smp_linux_x86_64.gdb \
#       ../shared/targets/linux-smp-x86_64/scenario-O0.elf
set pagination off
set width 0
handle SIGUSR1 nostop noprint pass
handle SIGUSR2 nostop noprint pass
break scenario_stop
run
source host/gdb/vusk_gdb.py
set threadx config-dir /nonexistent/vusk_user_cfg
threadx record tests/records/threadx/smp_linux_x86_64.rec
threadx current
threadx threads
threadx registers spin_int
threadx registers sleeper
threadx semaphores
threadx record off
kill
