#!/usr/bin/env python3
"""The transducer types in the EEPROM of board 0: list, add one (index 40), show it,
delete it. On the simulated board every run starts from the factory EEPROM."""
import qmd5820


def show(board):
    print(" index   range  sensitivity  frequency  voltage  calibrated")
    for t in board.transducers():
        print(f" {t.index:5}  {t.range:6.2f}  {t.sensitivity:11.2f}  {t.frequency:9.0f}  "
              f"{t.primary_voltage:7.2f}  {'yes' if t.calibrated else 'no'}")


with qmd5820.Board(index=0) as board:
    show(board)
    added = board.add_transducer(40, range=5.0, sensitivity=80.0, frequency=6104.0,
                                 primary_voltage=2.5, impedance=400.0)
    print("added:", added)
    show(board)
    try:
        board.add_transducer(40, 5.0, 80.0, 6104.0, 2.5, 400.0)
    except qmd5820.QMD5820Error as e:
        print("adding it again:", e)
    board.delete_transducer(40)
    print("deleted 40")
    show(board)
