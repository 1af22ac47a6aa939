"""GDB command `fixture-saved INDEX`: the registers that the fixture saved
for thread INDEX (fixture_saved[INDEX]), printed the way
`threadx registers` prints them."""

import gdb


class FixtureSaved(gdb.Command):
    def __init__(self):
        super().__init__("fixture-saved", gdb.COMMAND_DATA)

    def invoke(self, argument, from_tty):
        regs = gdb.parse_and_eval("fixture_saved[%d]" % int(argument))
        for field in regs.type.fields():
            width = 32 if field.name == "eflags" else 64
            value = int(regs[field.name]) & ((1 << width) - 1)
            gdb.write("%-8s 0x%0*x\n" % (field.name, width // 4, value))


FixtureSaved()
