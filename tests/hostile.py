"""Values a caller can hand the checker wherever it reads one, beyond exact
str and int: str and int subclasses with and without their own strip,
__str__, __format__, __radd__, __add__, __eq__, __hash__ and lower; objects
whose truth changes between reads; mappings and records that compute a new
value at each read; and rebound module functions that return new objects.

Strategies draw *recipes*: a recipe makes a fresh value each time it is
called, so that two implementations run on equal but separate values (a
value whose truth changes between reads is consumed by the run that reads
it). Every made value compares equal to another made from the same recipe
where it is compared at all, so outputs of two runs can be compared."""

from hypothesis import strategies as st


class Recipe:
    def __init__(self, label, make):
        self.label, self.make = label, make

    def __call__(self):
        return self.make()

    def __repr__(self):
        return self.label


# -- str and int subclasses ----------------------------------------------------------

class Marked(str):
    """What a subclass's own methods return: a str subclass again."""


def _str_method(name):
    # Results are of the same class, so its other methods (__radd__...) come
    # along into the text being built.
    def strip(self):
        return type(self)(str.strip(self) + "~")

    def __str__(self):
        return type(self)("s:" + str.__str__(self))

    def __format__(self, spec):
        return type(self)(format(str.__str__(self), spec))

    def __radd__(self, other):
        return type(self)("<" + (other if isinstance(other, str) else repr(other)) + ">"
                          + str.__str__(self))

    def __add__(self, other):
        return type(self)(str.__str__(self) + "+" + (other if isinstance(other, str)
                                                     else repr(other)))

    def __eq__(self, other):
        return isinstance(other, str) and str.lower(self) == str.lower(other)

    def __hash__(self):
        return 17

    def lower(self):
        return Marked(str.lower(self))
    return locals()[name]


STR_METHODS = ["strip", "__str__", "__format__", "__radd__", "__add__", "__eq__", "__hash__",
               "lower"]
_classes = {}


def str_subclass(methods):
    """A str subclass defining `methods` (a tuple of names) itself."""
    key = ("str", methods)
    if key not in _classes:
        _classes[key] = type("S_" + "_".join(m.strip("_") for m in methods) or "S", (str,),
                             {m: _str_method(m) for m in methods})
    return _classes[key]


def _int_method(name):
    def __format__(self, spec):
        return str_subclass(("__radd__",))(format(int(self), spec))

    def __str__(self):
        return str_subclass(("__add__", "__radd__"))(int.__repr__(self))

    def __radd__(self, other):
        return type(self)(int(self) + int(other))

    def __eq__(self, other):
        return isinstance(other, int) and int(self) == int(other)

    def __hash__(self):
        return 5

    def __bool__(self):
        return not int(self)     # truth upside down
    return locals()[name]


INT_METHODS = ["__format__", "__str__", "__radd__", "__eq__", "__hash__", "__bool__"]


def int_subclass(methods):
    key = ("int", methods)
    if key not in _classes:
        _classes[key] = type("I_" + "_".join(m.strip("_") for m in methods) or "I", (int,),
                             {m: _int_method(m) for m in methods})
    return _classes[key]


# -- truth that changes between reads ------------------------------------------------

class Flip:
    """True and false in turn (starting with `first`), with a text form."""

    def __init__(self, first, text):
        self.next, self.text = first, text

    def __bool__(self):
        answer, self.next = self.next, not self.next
        return answer

    def __str__(self):
        return self.text

    def __format__(self, spec):
        return format(self.text, spec)

    def __eq__(self, other):
        return isinstance(other, Flip) and self.text == other.text

    __hash__ = object.__hash__

    def __repr__(self):
        return f"Flip({self.text!r})"


class FlipStr(str):
    """A str whose truth alternates, starting false."""

    def __init__(self, value):
        self.calls = 0

    def __bool__(self):
        self.calls += 1
        return self.calls % 2 == 0


# -- reads that compute a new value each time ------------------------------------------

class Computing:
    """A mapping whose item is made afresh by its recipe at each read."""

    def __init__(self, recipes, fallback):
        self.recipes, self.fallback = recipes, fallback

    def __getitem__(self, key):
        recipe = self.recipes.get(key)
        return recipe() if recipe is not None else self.fallback[key]

    def __bool__(self):
        return True

    def __len__(self):
        return len(self.fallback)

    def __iter__(self):
        return iter(self.fallback)


class ComputingDict(dict):
    """A dict subclass whose item reads go through its own __getitem__."""

    def __init__(self, data, recipes):
        super().__init__(data)
        self.recipes = recipes

    def __getitem__(self, key):
        recipe = self.recipes.get(key)
        return recipe() if recipe is not None else dict.__getitem__(self, key)


class Record:
    """Attributes made afresh by their recipe at each read; others from `base`."""

    def __init__(self, base, recipes):
        object.__setattr__(self, "_base", base)
        object.__setattr__(self, "_recipes", recipes)

    def __getattr__(self, name):
        recipes = object.__getattribute__(self, "_recipes")
        if name in recipes:
            return recipes[name]()
        return getattr(object.__getattribute__(self, "_base"), name)


# -- strategies ---------------------------------------------------------------------------

TEXTS = ["", " ", "x", " Velmora ", "unknown", "UNKNOWN", "Sim", "sim", "usb", "ETH",
         "-USB", "-IP", "192.0.2.10", "COM5", "\u2003wide\u3000", "Müller"]
INTS = [0, 1, 7, 0xFFFF, 0x10000, -1, 2 ** 63, 2 ** 70]


def constant(value):
    return Recipe(repr(value), lambda: value)


def _str_recipe(text, methods):
    cls = str_subclass(tuple(sorted(methods)))
    return Recipe(f"{cls.__name__}({text!r})", lambda: cls(text))


def _int_recipe(number, methods):
    cls = int_subclass(tuple(sorted(methods)))
    return Recipe(f"{cls.__name__}({number!r})", lambda: cls(number))


def _flip_recipe(first, text):
    return Recipe(f"Flip({first}, {text!r})", lambda: Flip(first, text))


def _flipstr_recipe(text):
    return Recipe(f"FlipStr({text!r})", lambda: FlipStr(text))


str_recipes = st.builds(_str_recipe, st.sampled_from(TEXTS),
                        st.sets(st.sampled_from(STR_METHODS), max_size=3))
int_recipes = st.builds(_int_recipe, st.sampled_from(INTS),
                        st.sets(st.sampled_from(INT_METHODS), max_size=2))
changing_recipes = st.one_of(st.builds(_flip_recipe, st.booleans(), st.sampled_from(TEXTS)),
                             st.builds(_flipstr_recipe, st.sampled_from(TEXTS)))
plain_recipes = st.builds(constant, st.one_of(st.sampled_from(TEXTS), st.sampled_from(INTS),
                                              st.none(), st.booleans(), st.text(max_size=4)))

recipes = st.one_of(plain_recipes, str_recipes, int_recipes, changing_recipes)
"""A recipe for any value that the checker may read."""

values = recipes.map(lambda recipe: recipe())
"""Made values, for tests that use each value once."""


def _computing_recipe(kind, mapping):
    def make():
        computed = {k: r for k, r in mapping.items()}
        if kind == "mapping":
            return Computing(computed, {k: None for k in mapping})
        return ComputingDict({k: None for k in mapping}, computed)
    return Recipe(f"{kind}({mapping!r})", make)


def computing_mappings(keys):
    """Recipes of mappings that compute each of `keys` afresh at each read."""
    return st.builds(_computing_recipe, st.sampled_from(["mapping", "dict"]),
                     st.fixed_dictionaries({k: recipes for k in keys}))


# -- rebound module functions -------------------------------------------------------------

def _rebind_get_text(module, kind):
    def get_text(val, default):
        chosen = val if val else default
        if kind == "subclass" and isinstance(chosen, str):
            return str_subclass(("strip",))(chosen)
        if kind == "flip":
            return FlipStr(str(chosen))
        return chosen
    return get_text


def _rebind_count(module, original):
    counted = int_subclass(("__radd__", "__str__"))
    return lambda *args: counted(original(*args))


def _rebind_list(module, original):
    return lambda *args: list(original(*args))


def _rebind_same(module, original):
    def call(*args):
        original(*args)
        return Marked("returned")
    return call


REBINDINGS = {
    "_get_text": ["subclass", "flip", "plain"],
    "_list_master": ["count"],
    "_discover": ["list"],
    "_print_dev": ["new object"],
    "_print_master": ["new object"],
}


def rebindings():
    """A drawn set of (function name, kind) rebindings for `rebind()`."""
    return st.dictionaries(st.sampled_from(sorted(REBINDINGS)),
                           st.sampled_from(["subclass", "flip", "plain", "count", "list",
                                            "new object"]), max_size=3).map(
        lambda d: {k: (v if v in REBINDINGS[k] else REBINDINGS[k][0]) for k, v in d.items()})


def rebind(module, chosen):
    """Rebinds the chosen module functions to ones that return new objects,
    each around the module's own function where it has one."""
    for name, kind in chosen.items():
        original = getattr(module, name)
        if name == "_get_text":
            new = _rebind_get_text(module, kind)
        elif kind == "count":
            new = _rebind_count(module, original)
        elif kind == "list":
            new = _rebind_list(module, original)
        else:
            new = _rebind_same(module, original)
        setattr(module, name, new)


def norm(value, leaf=lambda value: value):
    """A value as compared: strs by their type and exact characters,
    lists, tuples and dicts part by part, anything else as leaf makes it."""
    if isinstance(value, str):
        return (type(value).__name__, str.__str__(value))
    if isinstance(value, (tuple, list)):
        return type(value)(norm(v, leaf) for v in value)
    if isinstance(value, dict):
        return ("dict", sorted((repr(k), norm(v, leaf)) for k, v in value.items()))
    return leaf(value)
