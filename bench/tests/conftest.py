import sys
from pathlib import Path

# The benchmark modules import each other by bare name, as the driver runs them.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
