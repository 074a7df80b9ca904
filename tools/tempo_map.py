"""Time in a Standard MIDI File: when a tick sounds under the file's tempo changes.

Python standard library only.
"""

DEFAULT_TEMPO = 500000  # microseconds per quarter note until a file sets one


def tick_time(tick, tempo_map, division, first_tempo=DEFAULT_TEMPO):
    """The time of a tick under tempo changes [(tick, length of a quarter note)] in tick order, in
    the unit of those lengths; first_tempo holds until the first change. Summed change by change,
    each stretch's ticks times its quarter note over the division, as tonecast itself sums."""
    total, last_tick, per_quarter = 0.0, 0, first_tempo
    for change_tick, change in tempo_map:
        if change_tick >= tick:
            break
        total += (change_tick - last_tick) * per_quarter / division
        last_tick, per_quarter = change_tick, change
    return total + (tick - last_tick) * per_quarter / division
