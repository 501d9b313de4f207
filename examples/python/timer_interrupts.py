#!/usr/bin/env python3
"""The board timer with an interrupt every period (1 ms time base, reload 19: 20 ms).

The callback runs on the board's interrupt thread; it only queues what it got. An
exception in it would not reach the library: remove_interrupt_routine() raises it.
"""
import queue

import qmd5820

got = queue.Queue()


def on_interrupt(info, value1, value2, data):
    if info == qmd5820.TIMER_INTERRUPT:
        got.put((value1, value2))


with qmd5820.Board(index=0) as board:
    board.set_interrupt_routine(on_interrupt)
    board.start_timer(time_base=1, reload_value=19, interrupts=True)
    try:
        for n in range(5):
            expirations, reload_value = got.get(timeout=5.0)
            print(f"timer interrupt {n + 1}: {expirations} expiration(s) so far "
                  f"(reload {reload_value})")
    finally:
        board.stop_timer()
        board.remove_interrupt_routine()
