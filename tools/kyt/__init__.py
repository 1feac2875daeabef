"""The release tool of the driver-package setup: it writes a driver-package folder into the
prebuilt setup program."""
