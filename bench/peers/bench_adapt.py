"""The str-encoding decorator of the benchmark's pybind11 and ctypes peers,
written in Python as a user of those tools would write it."""

IS_PY2 = False


def adapt(func):
    def wrapper(*args, **kwargs):
        if IS_PY2:
            return func(*args, **kwargs)
        new_args = []
        for arg in args:
            if isinstance(arg, str):
                arg = arg.encode("ascii")
            new_args.append(arg)
        for key, value in kwargs.items():
            if isinstance(value, str):
                kwargs[key] = value.encode("ascii")
        return func(*new_args, **kwargs)

    return wrapper
