"""Which core functions' int result is not a status: the rest return one,
and a call of theirs failed when it is not 0. The recorder's writer counts
failures by the same list (gen_recorder.py reads this file)."""

NOT_STATUS = frozenset({"qvi_now", "qvi_get_stop_error_code", "qvi_user_timer", "qvi_smart_reorder"})
