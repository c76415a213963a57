import configparser as configparser
import os as os
import re as re
import shlex as shlex
import tomllib as tomllib
from dependency_groups import resolve as resolve
from importlib.metadata import PathDistribution as PathDistribution
from packaging.requirements import Requirement as Requirement
from packaging.utils import canonicalize_name as canonicalize_name
from pathlib import Path as Path
from typing import Any

def config(folder: str) -> dict[str, Any] | None: ...
def find(project: str, base: str, packages: list[tuple[str, str]], info: str | None) -> dict[str, Any]: ...
def proof(options: dict[str, Any], project: str, root: str | None, packages: list[tuple[str, str]], info: str | None, built: list[dict[str, Any]]) -> dict[str, Any]: ...
def test_sources(project: str) -> list[str]: ...
def declared(info: str | None) -> list[str] | None: ...
