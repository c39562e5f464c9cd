"""Objects that misbehave inside the conversions the module performs."""


class Boom(Exception):
    """Raised by hostile conversions, so tests can tell it from the module's errors."""


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class IndexRaises:
    def __index__(self):
        raise Boom("__index__")


class IterRaises:
    def __iter__(self):
        raise Boom("__iter__")

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise Boom("__getitem__")


class EqRaises:
    def __eq__(self, other):
        raise Boom("__eq__")

    def __hash__(self):
        raise Boom("__hash__")


class CallsBack:
    """Converts to a number after calling `callback` (for example a method of
    the object under test), so the call re-enters the module mid-conversion."""

    def __init__(self, value, callback):
        self.value = value
        self.callback = callback
        self.error = None

    def _call(self):
        try:
            self.callback()
        except Exception as e:  # recorded for the test to inspect
            self.error = e

    def __float__(self):
        self._call()
        return float(self.value)

    def __index__(self):
        self._call()
        return int(self.value)


class MutatesDict:
    """A dict value whose float conversion empties the dict holding it."""

    def __init__(self, value, target):
        self.value = value
        self.target = target

    def __float__(self):
        self.target.clear()
        return float(self.value)


class MutatesList:
    """A list item whose conversion empties the list holding it."""

    def __init__(self, value, target):
        self.value = value
        self.target = target

    def __float__(self):
        self.target.clear()
        return float(self.value)

    def __index__(self):
        self.target.clear()
        return int(self.value)
