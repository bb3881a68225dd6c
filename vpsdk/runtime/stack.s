# The program's stack: an uninitialised section the host's loader finds by
# name and points ESP at the top of.
    .section .stack,"bw"
    .p2align 4
    .space 65536
